#pragma once

#include <string>
#include <string_view>

#include "corvane/reconnecting_stream.hpp"

namespace corvane::detail {

/// The path of an articulation's stream, relative to the WebSocket base URL: "articulations/" + prim path
/// (see appendPrimPath) + "/stream_joint_positions" or "/stream_articulation_state".
std::string articulationStreamPath(ArticulationStream which, std::string_view primPath);

}  // namespace corvane::detail
