// Creating, removing and querying articulations, and choosing their driven joints.
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/articulation.hpp"
#include "corvane/client.hpp"

namespace corvane {

nlohmann::json Articulation::create(std::string_view primPath, std::optional<std::string_view> urdfPath) {
  const nlohmann::json body = {{"prim_path", std::string(primPath)}, {"urdf_path", detail::stringOrNull(urdfPath)}};
  return detail::exchange(*client_, &IsaacSimClient::put, detail::kArticulations, body);
}

void Articulation::remove(std::string_view primPath) {
  detail::exchange(*client_, &IsaacSimClient::deleteRequest, detail::articulationPath(primPath));
}

nlohmann::json Articulation::getDriverJoint(std::string_view primPath) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::articulationPath(primPath, "/driver_joint"));
}

nlohmann::json Articulation::setDrivenJoints(std::string_view primPath, const std::vector<std::string>& jointNames) {
  const nlohmann::json body = {{"joint_names", jointNames}};
  return detail::exchange(*client_, &IsaacSimClient::put, detail::articulationPath(primPath, "/driven_joints"), body);
}

nlohmann::json Articulation::getDofLimits(std::string_view primPath) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::articulationPath(primPath, "/dof_limits"));
}

nlohmann::json Articulation::getJointsState(std::string_view primPath) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::articulationPath(primPath, "/joints_state"));
}

}  // namespace corvane
