// Creating, removing and querying articulations, and choosing their driven joints.
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/articulation.hpp"
#include "corvane/client.hpp"

namespace corvane {

nlohmann::json Articulation::create(std::string_view prim_path, std::optional<std::string_view> urdf_path) {
  const nlohmann::json body = {{"prim_path", std::string(prim_path)}, {"urdf_path", detail::stringOrNull(urdf_path)}};
  return detail::exchange(*client_, &IsaacSimClient::put, detail::kArticulations, body);
}

void Articulation::remove(std::string_view prim_path) {
  detail::exchange(*client_, &IsaacSimClient::deleteRequest, detail::articulationPath(prim_path));
}

nlohmann::json Articulation::getDriverJoint(std::string_view prim_path) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::articulationPath(prim_path, "/driver_joint"));
}

nlohmann::json Articulation::setDrivenJoints(std::string_view prim_path, const std::vector<std::string>& joint_names) {
  const nlohmann::json body = {{"joint_names", joint_names}};
  return detail::exchange(*client_, &IsaacSimClient::put, detail::articulationPath(prim_path, "/driven_joints"), body);
}

nlohmann::json Articulation::getDofLimits(std::string_view prim_path) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::articulationPath(prim_path, "/dof_limits"));
}

nlohmann::json Articulation::getJointsState(std::string_view prim_path) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::articulationPath(prim_path, "/joints_state"));
}

}  // namespace corvane
