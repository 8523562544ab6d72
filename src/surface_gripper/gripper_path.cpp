#include "surface_gripper/gripper_path.hpp"

#include "client/family_request.hpp"

namespace corvane::detail {

std::string surfaceGripperPath(std::string_view primPath, std::string_view suffix) {
  return resourcePath("/surface_grippers/", primPath, suffix);
}

}  // namespace corvane::detail
