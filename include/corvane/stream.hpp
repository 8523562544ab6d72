#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/export.hpp"

namespace corvane {

/// Owner of one open WebSocket connection to the bridge (see IsaacSimClient::openJointPositionStream).
/// Move-only; a moved-from stream is closed. Use it from one thread at a time. Errors from send and
/// receive throw StreamError (a std::runtime_error) and leave the stream open: the caller decides whether to close it.
class CORVANE_API WebSocketStream {
 public:
  /// Takes ownership of a libcurl easy handle whose WebSocket handshake has completed (null: closed).
  explicit WebSocketStream(void* handle) noexcept;
  /// Takes the connection and any partly received frame of `other`, which is left closed.
  WebSocketStream(WebSocketStream&& other) noexcept;
  /// Closes this stream's own connection (sending a close frame), then takes over `other`'s.
  WebSocketStream& operator=(WebSocketStream&& other) noexcept;
  WebSocketStream(const WebSocketStream&) = delete;
  WebSocketStream& operator=(const WebSocketStream&) = delete;
  /// Closes the connection if it is still open.
  ~WebSocketStream();

  /// Sends a close frame and releases the connection. Does nothing on a closed stream.
  void close() noexcept;
  /// Whether the stream still owns a connection.
  bool isOpen() const noexcept { return handle_ != nullptr; }

  /// Sends `text` as one text message, whole: returns only when every byte went out (it spins while the
  /// socket would block). Throws on a closed stream or a transport error.
  void send(std::string_view text);

  /// The payload of the next complete frame (text or binary alike; an empty frame gives an empty
  /// string), or nothing when no complete frame is waiting. Never blocks: a frame that arrives in
  /// pieces is completed by later calls. Control frames are skipped. Throws on a closed stream or
  /// a transport error, including after the bridge closed the connection.
  [[nodiscard]] std::optional<std::string> receive();

  /// Like receive(), but waits up to `timeout` for a frame, sleeping on the connection's socket rather
  /// than spinning. Returns nothing when no frame completed in time; a timeout <= 0 polls once.
  [[nodiscard]] std::optional<std::string> receiveFor(std::chrono::milliseconds timeout);

 private:
  void* handle_;
  std::string pending_;
};

}  // namespace corvane
