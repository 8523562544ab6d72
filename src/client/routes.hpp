#pragma once

// Every request path the client builds: a collection ("/cameras"), or one object in it named by its prim
// path, with the operation's segment after it ("/cameras/" + prim path + "/capture").
#include <string>
#include <string_view>

namespace corvane::detail {

inline constexpr std::string_view kArticulations = "/articulations";
inline constexpr std::string_view kSurfaceGrippers = "/surface_grippers";
inline constexpr std::string_view kCameras = "/cameras";

/// "<collection>/" + prim path + suffix (empty, or with its leading slash: "/status"). The prim path goes in
/// byte for byte (no slashes added or removed), except the two bytes that cannot travel raw: '#' becomes
/// "%23" (libcurl would cut the rest off as a fragment and the request would reach another resource) and
/// NUL becomes "%00" (it would end the URL string).
std::string articulationPath(std::string_view primPath, std::string_view suffix = {});
std::string surfaceGripperPath(std::string_view primPath, std::string_view suffix = {});
std::string cameraPath(std::string_view primPath, std::string_view suffix = {});

/// The suffixes of an articulation's two streams.
inline constexpr std::string_view kJointPositionStream = "/stream_joint_positions";
inline constexpr std::string_view kArticulationStateStream = "/stream_articulation_state";

/// An articulation's stream, relative to the WebSocket base URL (which ends in '/'): its articulation path
/// without the leading slash, e.g. "articulations/" + prim path + "/stream_joint_positions".
std::string articulationStreamPath(std::string_view primPath, std::string_view suffix);

}  // namespace corvane::detail
