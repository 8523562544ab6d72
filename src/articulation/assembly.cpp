// Mounting a gripper onto an arm.
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/articulation.hpp"
#include "corvane/client.hpp"

namespace corvane {

nlohmann::json Articulation::assembleRobot(std::string_view prim_path, std::string_view gripper_id,
                                           std::string_view arm_mount_link,
                                           std::optional<std::string_view> gripper_mount_link,
                                           const std::optional<nlohmann::json>& offset, bool mask_collisions) {
  const nlohmann::json body = {{"gripper_id", std::string(gripper_id)},
                               {"arm_mount_link", std::string(arm_mount_link)},
                               {"gripper_mount_link", detail::stringOrNull(gripper_mount_link)},
                               {"offset", offset ? *offset : nlohmann::json(nullptr)},
                               {"mask_collisions", mask_collisions}};
  return detail::exchange(*client_, &IsaacSimClient::post, detail::articulationPath(prim_path, "/assemble_robot"),
                          body);
}

}  // namespace corvane
