#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/articulation.hpp"
#include "corvane/batch.hpp"
#include "corvane/camera.hpp"
#include "corvane/errors.hpp"
#include "corvane/export.hpp"
#include "corvane/options.hpp"
#include "corvane/response.hpp"
#include "corvane/stream.hpp"
#include "corvane/surface_gripper.hpp"

namespace corvane {

namespace detail {
class Access;
class ConnectionPool;
class RetryJitter;
struct RunSettings;
}  // namespace detail

/// The connection to one bridge. Construction only checks and stores settings and sends nothing; unless
/// ClientOptions::reuseConnections is on, every attempt opens its own connection. Settings never change after
/// construction, so one client may serve several threads. No environment variable is read: without
/// ClientOptions::proxy no proxy is used.
class CORVANE_API IsaacSimClient {
 public:
  /// Throws std::invalid_argument for an empty URL, a timeout <= 0 or a negative retry count.
  /// Both base URLs get a trailing '/' when they lack one; nothing else about them is checked.
  IsaacSimClient(std::string label, std::string baseUrl, std::string websocketBaseUrl,
                 std::chrono::milliseconds timeout, int maxRetries);
  /// The same with transport options (see ClientOptions). Also throws std::invalid_argument for a refused
  /// header line, a deadline <= 0, or a NUL byte in caFile or proxy.
  IsaacSimClient(std::string label, std::string baseUrl, std::string websocketBaseUrl,
                 std::chrono::milliseconds timeout, int maxRetries, ClientOptions options);
  /// Copies the settings; the copy's families are bound to the copy. With reuseConnections the copy shares
  /// the original's kept connections, TLS sessions and name lookups (its settings are the same), which live
  /// until the last client sharing them is gone. Moving copies too, so the source stays a valid client.
  IsaacSimClient(const IsaacSimClient& other);
  IsaacSimClient& operator=(const IsaacSimClient&) = delete;
  ~IsaacSimClient() = default;

  /// A sibling: a client with the same label and URLs but its own timeout, retry count and options (a
  /// longer timeout for one slow call, a deadline, another interruption hook), checked as the constructor
  /// checks them. When both reuse connections, the sibling shares this client's kept connections, TLS
  /// sessions and name lookups (libcurl reuses a connection only for a request whose proxy and TLS settings
  /// match it). Cheap enough to make per call: it copies the settings and opens nothing.
  [[nodiscard]] IsaacSimClient withOptions(std::chrono::milliseconds timeout, int maxRetries,
                                           ClientOptions options) const;

  Articulation articulation;
  SurfaceGripper surfaceGripper;
  Camera camera;

  const std::string& label() const noexcept { return label_; }
  const std::string& baseUrl() const noexcept { return baseUrl_; }
  const std::string& websocketBaseUrl() const noexcept { return websocketBaseUrl_; }
  std::chrono::milliseconds timeout() const noexcept { return timeout_; }
  int maxRetries() const noexcept { return maxRetries_; }
  const ClientOptions& options() const noexcept { return options_; }

  /// The HTTP verbs. Each returns the final response whatever its status; it throws TransportError (a
  /// std::runtime_error) when the transport fails on the last attempt, SetupError when libcurl cannot be
  /// set up for it. Transport errors and the statuses 408, 409, 429 and >= 500 (but 501) are retried up to
  /// maxRetries() times after a jittered, growing pause; ClientOptions::retryPolicy changes these rules.
  [[nodiscard]] HttpResponse get(std::string_view path);
  [[nodiscard]] HttpResponse post(std::string_view path, std::string_view body);
  [[nodiscard]] HttpResponse put(std::string_view path, std::string_view body);
  [[nodiscard]] HttpResponse patch(std::string_view path, std::string_view body);
  [[nodiscard]] HttpResponse deleteRequest(std::string_view path);

  /// Performs every request at once on the calling thread (libcurl's multi interface, no threads) and returns
  /// their outcomes in order. Each entry is a verb call of its own: its own retries, pauses and deadline (one
  /// entry's pause never holds the others up), and its own response or exception (std::invalid_argument for
  /// an unsupported method, TransportError, SetupError), so one failure never hides another's result.
  /// InterruptedError, and a failure of libcurl's multi interface itself (SetupError), end the whole batch.
  [[nodiscard]] std::vector<BatchResult> batch(const std::vector<BatchRequest>& requests);

  /// Opens the joint-position stream of the articulation at `primPath`: the WebSocket base URL followed by
  /// "articulations/" + primPath + "/stream_joint_positions". The prim path goes in as it is ("/World/arm"
  /// gives a doubled slash, "/./" and "/../" stay), except '#' and NUL, sent as %23 and %00. One handshake
  /// limited by timeout() (not by the deadline option), never retried, and only a 101 answer opens the
  /// stream; a failure throws HandshakeError (a std::runtime_error) "WebSocket handshake failed for <url>:
  /// <libcurl's text>". The header lines, CA file and proxy options apply; the stream keeps its own
  /// connection, shared with nothing, so it may outlive the client.
  [[nodiscard]] WebSocketStream openJointPositionStream(std::string_view primPath);
  /// Opens the articulation-state stream ("/stream_articulation_state"); otherwise as above.
  [[nodiscard]] WebSocketStream openArticulationStateStream(std::string_view primPath);

 private:
  IsaacSimClient(const IsaacSimClient& origin, std::chrono::milliseconds timeout, int maxRetries,
                 ClientOptions options);
  void checkSettings() const;
  void startJitter();
  friend class detail::Access;  // the camera, streams and tests reach the operations below through it

  /// The full URL for a resource path (base URL + path without its leading slashes).
  [[nodiscard]] std::string prepareUrl(std::string_view path) const;
  /// One request with retries. `method` is one of GET, POST, PUT, PATCH, DELETE. Errors that no retry can mend
  /// (a malformed URL, an unsupported scheme, a feature libcurl lacks, an unreadable CA file) fail at once.
  [[nodiscard]] HttpResponse request(std::string_view method, std::string_view path, std::string_view body);
  /// Opens websocketBaseUrl() + `path` (nothing stripped) with one handshake.
  [[nodiscard]] WebSocketStream openStream(std::string_view path);
  /// As above, with the handshake limited to `limit` (1 ms to timeout()): a ReconnectingStream reopens within
  /// its caller's timeout.
  [[nodiscard]] WebSocketStream openStream(std::string_view path, std::chrono::milliseconds limit);
  /// The settings a run of the request engine reads.
  detail::RunSettings runSettings() const;

  std::string label_;
  std::string baseUrl_;
  std::string websocketBaseUrl_;
  std::chrono::milliseconds timeout_;
  int maxRetries_;
  ClientOptions options_;
  std::shared_ptr<detail::ConnectionPool> pool_;  // kept connections; null without reuseConnections
  std::shared_ptr<detail::RetryJitter> jitter_;   // this client's own; null without a retry policy
};

}  // namespace corvane
