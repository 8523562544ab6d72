// Joint position commands and the articulation streams.
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/articulation.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

// The body both commands share; every element of "joint_positions" is a JSON float (2 is sent as 2.0).
nlohmann::json jointTargets(const std::vector<double>& joint_positions,
                            const std::optional<std::vector<int>>& indices) {
  return {{"joint_positions", joint_positions},
          {"indices", indices ? nlohmann::json(*indices) : nlohmann::json(nullptr)}};
}

}  // namespace

nlohmann::json Articulation::setJointPositions(std::string_view prim_path, const std::vector<double>& joint_positions,
                                               const std::optional<std::vector<int>>& indices) {
  return detail::exchange(*client_, &IsaacSimClient::post, detail::articulationPath(prim_path, "/set_j"),
                          jointTargets(joint_positions, indices));
}

nlohmann::json Articulation::moveJointPositions(std::string_view prim_path, const std::vector<double>& joint_positions,
                                                const std::optional<std::vector<int>>& indices, bool asynchronous) {
  nlohmann::json body = jointTargets(joint_positions, indices);
  body["asynchronous"] = asynchronous;
  return detail::exchange(*client_, &IsaacSimClient::post, detail::articulationPath(prim_path, "/move_j"), body);
}

WebSocketStream Articulation::streamJointPositions(std::string_view prim_path) {
  return client_->openJointPositionStream(prim_path);
}

WebSocketStream Articulation::streamArticulationState(std::string_view prim_path) {
  return client_->openArticulationStateStream(prim_path);
}

}  // namespace corvane
