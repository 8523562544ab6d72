#pragma once

// The request paths of the surface gripper operations.
#include <string>
#include <string_view>

namespace corvane::detail {

/// "/surface_grippers/" + prim path + suffix (suffix empty or with its leading slash, e.g. "/status"),
/// the prim path inserted by detail::appendPrimPath.
std::string surfaceGripperPath(std::string_view primPath, std::string_view suffix);

}  // namespace corvane::detail
