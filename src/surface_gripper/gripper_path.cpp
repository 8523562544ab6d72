#include "surface_gripper/gripper_path.hpp"

#include "client/family_request.hpp"

namespace corvane::detail {
namespace {

// The prim path with the two bytes that cannot travel raw in a URL path percent-encoded.
std::string keepWholeInUrl(std::string_view primPath) {
  std::string kept;
  kept.reserve(primPath.size());
  for (const char c : primPath) {
    if (c == '#') {
      kept += "%23";
    } else if (c == '\0') {
      kept += "%00";
    } else {
      kept += c;
    }
  }
  return kept;
}

}  // namespace

std::string surfaceGripperPath(std::string_view primPath, std::string_view suffix) {
  return resourcePath("/surface_grippers/", keepWholeInUrl(primPath), suffix);
}

}  // namespace corvane::detail
