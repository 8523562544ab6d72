#include "corvane/camera.hpp"
#include "client/family_request.hpp"
#include "client/observation.hpp"
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
  ClientObserver* observer = client_->options().observer.get();
  if (observer == nullptr) return detail::decodeFrame(client_->post(detail::cameraPath(prim_path, "/capture"), text));
  const auto start = std::chrono::system_clock::now();
  const HttpResponse reply = client_->post(detail::cameraPath(prim_path, "/capture"), text);
  const auto end = std::chrono::system_clock::now();
  CameraFrame frame = detail::decodeFrame(reply);
  detail::notifyFrame(*observer, prim_path, frame, start, end);
  return frame;
}

std::vector<CameraFrame> Camera::captureAll(const std::vector<std::string>& prim_paths,
                                            const std::optional<std::vector<std::string>>& data_types,
                                            std::optional<bool> world_frame) {
  const std::string text = captureBody(data_types, world_frame);
  std::vector<BatchRequest> requests;
  requests.reserve(prim_paths.size());
  for (const std::string& prim_path : prim_paths)
    requests.push_back({"POST", detail::cameraPath(prim_path, "/capture"), text});
  const auto start = std::chrono::system_clock::now();
  const std::vector<BatchResult> results = client_->batch(requests);
  const auto end = std::chrono::system_clock::now();
  std::vector<CameraFrame> frames;
  frames.reserve(results.size());
  for (const BatchResult& result : results) frames.push_back(detail::decodeFrame(result.response()));
  if (ClientObserver* observer = client_->options().observer.get()) {
    for (std::size_t i = 0; i < frames.size(); ++i)
      detail::notifyFrame(*observer, prim_paths[i], frames[i], start, end);
  }
  return frames;
}

}  // namespace corvane
