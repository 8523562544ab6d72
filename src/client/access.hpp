#pragma once

// The library's one way into what its public classes keep private: operations that one part of the library
// needs of another (the camera runs the client's request engine, a ReconnectingStream reopens through the
// client's opener, the decoder makes shared frames) but that users do not call. It is the one friend of
// those classes; white-box tests use it too. Not installed.
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "client/request_run.hpp"
#include "corvane/camera.hpp"
#include "corvane/client.hpp"
#include "corvane/stream.hpp"

namespace corvane::detail {

struct StreamObservation;

class Access {
 public:
  /// The full URL for a resource path (base URL + path without its leading slashes).
  static std::string url(const IsaacSimClient& client, std::string_view path) { return client.prepareUrl(path); }
  /// One request with retries, as the verbs send it. `method` is one of GET, POST, PUT, PATCH, DELETE.
  static HttpResponse request(IsaacSimClient& client, std::string_view method, std::string_view path,
                              std::string_view body) {
    return client.request(method, path, body);
  }
  /// Opens websocketBaseUrl() + `path` (nothing stripped) with one handshake limited by the client's timeout.
  static WebSocketStream openStream(IsaacSimClient& client, std::string_view path) { return client.openStream(path); }
  /// As above, with the handshake limited to `limit` (1 ms to the client's timeout).
  static WebSocketStream openStream(IsaacSimClient& client, std::string_view path, std::chrono::milliseconds limit) {
    return client.openStream(path, limit);
  }
  /// The settings a run of the request engine reads.
  static RunSettings runSettings(const IsaacSimClient& client) { return client.runSettings(); }

  /// Gives `stream` the client's observer and its URL.
  static void observe(WebSocketStream& stream, std::shared_ptr<const StreamObservation> observation) noexcept {
    stream.observation_ = std::move(observation);
  }

  /// What every copy of a shared frame shares (defined by the decoder), and the frame made of it.
  using SharedFrameContents = SharedFrame::Contents;
  static SharedFrame sharedFrame(std::shared_ptr<const SharedFrameContents> contents) noexcept {
    return SharedFrame(std::move(contents));
  }
};

}  // namespace corvane::detail
