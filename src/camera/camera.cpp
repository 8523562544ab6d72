#include "corvane/camera.hpp"
#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

// The body of a capture request, serialised before anything is sent (invalid UTF-8 sends nothing).
std::string captureBody(const std::optional<std::vector<std::string>>& data_types, std::optional<bool> world_frame) {
  nlohmann::json body = nlohmann::json::object();
  if (data_types) body["data_types"] = *data_types;
  if (world_frame) body["world_frame"] = *world_frame;
  return detail::serializeBody(body);
}

}  // namespace

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
  const std::string text = captureBody(data_types, world_frame);
  return detail::decodeFrame(client_->post(detail::cameraPath(prim_path, "/capture"), text));
}

std::vector<CameraFrame> Camera::captureAll(const std::vector<std::string>& prim_paths,
                                            const std::optional<std::vector<std::string>>& data_types,
                                            std::optional<bool> world_frame) {
  const std::string text = captureBody(data_types, world_frame);
  std::vector<BatchRequest> requests;
  requests.reserve(prim_paths.size());
  for (const std::string& prim_path : prim_paths)
    requests.push_back({"POST", detail::cameraPath(prim_path, "/capture"), text});
  const std::vector<BatchResult> results = client_->batch(requests);
  std::vector<CameraFrame> frames;
  frames.reserve(results.size());
  for (const BatchResult& result : results) frames.push_back(detail::decodeFrame(result.response()));
  return frames;
}

}  // namespace corvane
