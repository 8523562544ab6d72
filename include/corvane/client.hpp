#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "corvane/articulation.hpp"
#include "corvane/camera.hpp"
#include "corvane/export.hpp"
#include "corvane/response.hpp"
#include "corvane/stream.hpp"
#include "corvane/surface_gripper.hpp"

namespace corvane {

/// The connection to one bridge. Construction only checks and stores settings; every call opens its own
/// connection. Settings never change after construction, so one client may serve several threads.
class CORVANE_API IsaacSimClient {
 public:
  /// Throws std::invalid_argument for an empty URL, a timeout <= 0 or a negative retry count.
  /// Both base URLs get a trailing '/' when they lack one; nothing else about them is checked.
  IsaacSimClient(std::string label, std::string base_url, std::string websocket_base_url,
                 std::chrono::milliseconds timeout, int max_retries);
  /// Copies the settings; the copy's families are bound to the copy. Moving copies too, so the source
  /// stays a valid client.
  IsaacSimClient(const IsaacSimClient& other);
  IsaacSimClient& operator=(const IsaacSimClient&) = delete;
  ~IsaacSimClient() = default;

  Articulation articulation;
  SurfaceGripper surfaceGripper;
  Camera camera;

  const std::string& label() const noexcept { return label_; }
  const std::string& baseUrl() const noexcept { return baseUrl_; }
  const std::string& websocketBaseUrl() const noexcept { return websocketBaseUrl_; }
  std::chrono::milliseconds timeout() const noexcept { return timeout_; }
  int maxRetries() const noexcept { return maxRetries_; }

  /// The HTTP verbs. Each returns the final response whatever its status; it throws std::runtime_error
  /// when the transport fails on the last attempt. Transport errors and the statuses 408, 409, 429 and
  /// >= 500 (but 501) are retried up to maxRetries() times after a jittered, growing pause.
  HttpResponse get(std::string_view path);
  HttpResponse post(std::string_view path, std::string_view body);
  HttpResponse put(std::string_view path, std::string_view body);
  HttpResponse patch(std::string_view path, std::string_view body);
  HttpResponse deleteRequest(std::string_view path);

  /// Opens the joint-position stream of the articulation at `prim_path`: the WebSocket base URL followed by
  /// "articulations/" + prim_path + "/stream_joint_positions" (prim path byte for byte, so "/World/arm"
  /// gives a doubled slash). One handshake limited by timeout(), never retried; a failure throws
  /// std::runtime_error "WebSocket handshake failed for <url>: <libcurl's text>".
  WebSocketStream openJointPositionStream(std::string_view prim_path);
  /// Opens the articulation-state stream ("/stream_articulation_state"); otherwise as above.
  WebSocketStream openArticulationStateStream(std::string_view prim_path);

  /// Internal: the full URL for a resource path (base URL + path without its leading slashes).
  std::string prepareUrl_(std::string_view path) const;
  /// Internal: one request with retries. `method` is one of GET, POST, PUT, PATCH, DELETE.
  HttpResponse request_(std::string_view method, std::string_view path, std::string_view body);
  /// Internal: opens websocketBaseUrl() + `path` (nothing stripped) with one handshake.
  WebSocketStream openStream_(std::string_view path);

 private:
  std::string label_;
  std::string baseUrl_;
  std::string websocketBaseUrl_;
  std::chrono::milliseconds timeout_;
  int maxRetries_;
};

}  // namespace corvane
