#include "corvane/camera.hpp"
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/client.hpp"

namespace corvane {

nlohmann::json Camera::create(std::string_view prim_path, const std::optional<std::vector<int>>& resolution,
                              std::optional<double> frequency) {
  nlohmann::json body = {{"prim_path", std::string(prim_path)}};
  if (resolution) body["resolution"] = *resolution;
  if (frequency) body["frequency"] = *frequency;
  return detail::exchange(*client_, &IsaacSimClient::put, detail::kCameras, body);
}

void Camera::remove(std::string_view prim_path) {
  detail::exchange(*client_, &IsaacSimClient::deleteRequest, detail::cameraPath(prim_path));
}

CameraFrame Camera::capture(std::string_view prim_path, const std::optional<std::vector<std::string>>& data_types,
                            std::optional<bool> world_frame) {
  nlohmann::json body = nlohmann::json::object();
  if (data_types) body["data_types"] = *data_types;
  if (world_frame) body["world_frame"] = *world_frame;
  const std::string text = detail::serializeBody(body);  // before sending: invalid UTF-8 sends nothing
  return detail::decodeFrame(client_->post(detail::cameraPath(prim_path, "/capture"), text));
}

}  // namespace corvane
