// Mounting a gripper onto an arm.
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/articulation.hpp"
#include "corvane/client.hpp"

namespace corvane {

nlohmann::json Articulation::assembleRobot(std::string_view primPath, std::string_view gripperId,
                                           std::string_view armMountLink,
                                           std::optional<std::string_view> gripperMountLink,
                                           const std::optional<nlohmann::json>& offset, bool maskCollisions) {
  const nlohmann::json body = {{"gripper_id", std::string(gripperId)},
                               {"arm_mount_link", std::string(armMountLink)},
                               {"gripper_mount_link", detail::stringOrNull(gripperMountLink)},
                               {"offset", offset ? *offset : nlohmann::json(nullptr)},
                               {"mask_collisions", maskCollisions}};
  return detail::exchange(*client_, &IsaacSimClient::post, detail::articulationPath(primPath, "/assemble_robot"), body);
}

}  // namespace corvane
