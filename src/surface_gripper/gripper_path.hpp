#pragma once

// The request paths of the surface gripper operations.
#include <string>
#include <string_view>

namespace corvane::detail {

/// "/surface_grippers/" + prim path + suffix (suffix empty or with its leading slash, e.g. "/status").
/// The prim path goes in byte for byte (no slash added or removed, '?', '%' and spaces untouched), except
/// '#' -> "%23" and NUL -> "%00": libcurl would drop everything from a raw '#' on (the fragment) and the
/// URL ends at a NUL, so either would silently address another resource, e.g. DELETE a different gripper.
std::string surfaceGripperPath(std::string_view primPath, std::string_view suffix);

}  // namespace corvane::detail
