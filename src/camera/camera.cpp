#include "corvane/camera.hpp"
#include "client/access.hpp"
#include "client/family_request.hpp"
#include "client/observation.hpp"
#include "client/reply_buffer.hpp"
#include "client/request_run.hpp"
#include "client/routes.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

// The body of a capture request, serialised before anything is sent (invalid UTF-8 sends nothing).
std::string captureBody(const std::optional<std::vector<std::string>>& dataTypes, std::optional<bool> worldFrame) {
  nlohmann::json body = nlohmann::json::object();
  if (dataTypes) body["data_types"] = *dataTypes;
  if (worldFrame) body["world_frame"] = *worldFrame;
  return detail::serializeBody(body);
}

// The body that a reply buffer holds, with a share of its ownership; empty when no attempt read anything.
std::shared_ptr<const std::byte> keptBody(const std::shared_ptr<detail::ReplyBuffer>& buffer) {
  if (!buffer) return nullptr;
  return std::shared_ptr<const std::byte>(buffer, buffer->data());
}

// Captures on the shared road: each reply read into a buffer its frame keeps. Every capture runs to its end;
// then the first failure in order is thrown.
std::vector<SharedFrame> captureIntoBuffers(IsaacSimClient& client, const std::vector<std::string_view>& primPaths,
                                            const std::string& body, const detail::RunSettings& settings) {
  std::vector<std::shared_ptr<detail::ReplyBuffer>> buffers(primPaths.size());
  std::vector<std::string> routes;
  routes.reserve(primPaths.size());
  std::vector<detail::PlannedRequest> requests;
  requests.reserve(primPaths.size());
  const auto start = std::chrono::system_clock::now();
  for (std::size_t i = 0; i < primPaths.size(); ++i) {
    routes.push_back(detail::cameraPath(primPaths[i], "/capture"));
    requests.push_back({"POST", detail::Access::url(client, routes.back()), body, &buffers[i]});
  }
  const std::vector<std::string_view> paths(routes.begin(), routes.end());
  std::vector<BatchResult> results = detail::runObserved(settings, requests, paths);
  const auto end = std::chrono::system_clock::now();
  std::vector<SharedFrame> frames;
  frames.reserve(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    const long status = results[i].response().status;
    const std::size_t size = buffers[i] ? buffers[i]->size() : 0;
    frames.push_back(detail::decodeSharedFrame(status, keptBody(buffers[i]), size));
  }
  if (settings.options.observer) {
    for (std::size_t i = 0; i < frames.size(); ++i)
      detail::notifyFrame(settings.options, primPaths[i], frames[i], start, end);
  }
  return frames;
}

}  // namespace

nlohmann::json Camera::create(std::string_view primPath, const std::optional<std::vector<int>>& resolution,
                              std::optional<double> frequency) {
  nlohmann::json body = {{"prim_path", std::string(primPath)}};
  if (resolution) body["resolution"] = *resolution;
  if (frequency) body["frequency"] = *frequency;
  return detail::exchange(*client_, &IsaacSimClient::put, detail::kCameras, body);
}

void Camera::remove(std::string_view primPath) {
  detail::exchange(*client_, &IsaacSimClient::deleteRequest, detail::cameraPath(primPath));
}

CameraFrame Camera::capture(std::string_view primPath, const std::optional<std::vector<std::string>>& dataTypes,
                            std::optional<bool> worldFrame) {
  const std::string text = captureBody(dataTypes, worldFrame);
  ClientObserver* observer = client_->options().observer.get();
  if (observer == nullptr) return detail::decodeFrame(client_->post(detail::cameraPath(primPath, "/capture"), text));
  const auto start = std::chrono::system_clock::now();
  HttpResponse reply = client_->post(detail::cameraPath(primPath, "/capture"), text);
  const auto end = std::chrono::system_clock::now();
  // The observer sees the reply's own bytes with their owner, so that one that keeps them past its call (a
  // recorder's or a live server's queue) holds the reply rather than copying each output.
  const SharedFrame shared = detail::decodeSharedFrame(std::move(reply));
  detail::notifyFrame(client_->options(), primPath, shared, start, end);
  return shared.toCameraFrame();
}

std::vector<CameraFrame> Camera::captureAll(const std::vector<std::string>& primPaths,
                                            const std::optional<std::vector<std::string>>& dataTypes,
                                            std::optional<bool> worldFrame) {
  const std::string text = captureBody(dataTypes, worldFrame);
  std::vector<BatchRequest> requests;
  requests.reserve(primPaths.size());
  for (const std::string& primPath : primPaths)
    requests.push_back({"POST", detail::cameraPath(primPath, "/capture"), text});
  const auto start = std::chrono::system_clock::now();
  const std::vector<BatchResult> results = client_->batch(requests);
  const auto end = std::chrono::system_clock::now();
  std::vector<CameraFrame> frames;
  frames.reserve(results.size());
  for (const BatchResult& result : results) frames.push_back(detail::decodeFrame(result.response()));
  if (client_->options().observer) {
    for (std::size_t i = 0; i < frames.size(); ++i)
      detail::notifyFrame(client_->options(), primPaths[i], frames[i], start, end);
  }
  return frames;
}

SharedFrame Camera::captureShared(std::string_view primPath, const std::optional<std::vector<std::string>>& dataTypes,
                                  std::optional<bool> worldFrame) {
  const std::string text = captureBody(dataTypes, worldFrame);
  return std::move(captureIntoBuffers(*client_, {primPath}, text, detail::Access::runSettings(*client_)).front());
}

std::vector<SharedFrame> Camera::captureAllShared(const std::vector<std::string>& primPaths,
                                                  const std::optional<std::vector<std::string>>& dataTypes,
                                                  std::optional<bool> worldFrame) {
  const std::string text = captureBody(dataTypes, worldFrame);
  const std::vector<std::string_view> paths(primPaths.begin(), primPaths.end());
  return captureIntoBuffers(*client_, paths, text, detail::Access::runSettings(*client_));
}

}  // namespace corvane
