// Joint position commands and the articulation streams.
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/articulation.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

// The body both commands share; every element of "joint_positions" is a JSON float (2 is sent as 2.0).
nlohmann::json jointTargets(const std::vector<double>& jointPositions, const std::optional<std::vector<int>>& indices) {
  return {{"joint_positions", jointPositions},
          {"indices", indices ? nlohmann::json(*indices) : nlohmann::json(nullptr)}};
}

}  // namespace

nlohmann::json Articulation::setJointPositions(std::string_view primPath, const std::vector<double>& jointPositions,
                                               const std::optional<std::vector<int>>& indices) {
  return detail::exchange(*client_, &IsaacSimClient::post, detail::articulationPath(primPath, "/set_j"),
                          jointTargets(jointPositions, indices));
}

nlohmann::json Articulation::moveJointPositions(std::string_view primPath, const std::vector<double>& jointPositions,
                                                const std::optional<std::vector<int>>& indices, bool asynchronous) {
  nlohmann::json body = jointTargets(jointPositions, indices);
  body["asynchronous"] = asynchronous;
  return detail::exchange(*client_, &IsaacSimClient::post, detail::articulationPath(primPath, "/move_j"), body);
}

WebSocketStream Articulation::streamJointPositions(std::string_view primPath) {
  return client_->openJointPositionStream(primPath);
}

WebSocketStream Articulation::streamArticulationState(std::string_view primPath) {
  return client_->openArticulationStateStream(primPath);
}

}  // namespace corvane
