#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/export.hpp"

namespace corvane {

namespace detail {
class Access;
struct StreamObservation;
}  // namespace detail

/// What a stream has received so far. A WebSocketStream counts from its opening; a ReconnectingStream
/// counts over all its connections and also reports its reconnections and the time it spent without one.
struct StreamStats {
  /// Complete data frames taken from the connection, those receiveLatest() skipped included.
  std::uint64_t framesReceived = 0;
  /// Their payload bytes.
  std::uint64_t bytesReceived = 0;
  /// Frames receiveLatest() took and dropped because a newer one was waiting (or because the call failed).
  std::uint64_t framesSkipped = 0;
  /// When the last complete data frame was taken; empty before the first.
  std::optional<std::chrono::steady_clock::time_point> lastFrameAt;
  /// ReconnectingStream only: connections reopened after a loss.
  std::uint64_t reconnections = 0;
  /// ReconnectingStream only: time spent without a connection, the current outage included.
  std::chrono::steady_clock::duration timeDown{};
};

/// Owner of one open WebSocket connection to the bridge (see IsaacSimClient::openJointPositionStream).
/// Move-only; a moved-from stream is closed. Use it from one thread at a time. Errors from send and
/// receive throw StreamError (a std::runtime_error) and leave the stream open: the caller decides whether to close it.
class CORVANE_API WebSocketStream {
 public:
  /// Takes ownership of a libcurl easy handle whose WebSocket handshake has completed (null: closed).
  explicit WebSocketStream(void* handle) noexcept;
  /// Takes the connection, any partly received frame, the statistics and the close state of `other`,
  /// which is left closed and empty.
  WebSocketStream(WebSocketStream&& other) noexcept;
  /// Closes this stream's own connection (as close() does), then takes over `other`'s.
  WebSocketStream& operator=(WebSocketStream&& other) noexcept;
  WebSocketStream(const WebSocketStream&) = delete;
  WebSocketStream& operator=(const WebSocketStream&) = delete;
  /// Closes the connection if it is still open.
  ~WebSocketStream();

  /// Releases the connection. A close frame goes out first unless the bridge already closed the stream
  /// (receive() answered its close frame then) or a sendFor() gave up mid-message (a close frame would
  /// land inside the torn one). Does nothing on a closed stream.
  void close() noexcept;
  /// Whether the stream still owns a connection (also after the bridge closed it, until close()).
  bool isOpen() const noexcept { return handle_ != nullptr; }

  /// Sends `text` as one text message, whole: returns only when every byte went out (it spins while the
  /// socket would block). Throws StreamError on a closed stream, after the bridge closed the stream
  /// (nothing is written: no data may follow a close frame; the message names the bridge's close code and
  /// reason), after a sendFor() gave up mid-message, and on a transport error. Text that is not valid
  /// UTF-8 throws std::invalid_argument before anything is sent (the bridge would close the stream).
  void send(std::string_view text);

  /// Like send(), but sleeps on the socket while it cannot take more, and gives up at `timeout`
  /// (<= 0: one try). True when the whole message went out.
  /// False and nothing sent when the socket stayed full until the deadline: the stream is unchanged.
  /// False after the deadline passed halfway through the message: the bridge holds a torn frame, so the
  /// stream can no longer send (later send() and sendFor() throw StreamError, close() sends no close
  /// frame); it can still receive, but libcurl's automatic answers to pings cannot go out either. Close it.
  /// Throws StreamError like send().
  [[nodiscard]] bool sendFor(std::string_view text, std::chrono::milliseconds timeout);

  /// The payload of the next complete frame (text or binary alike; an empty frame gives an empty
  /// string), or nothing when no complete frame is waiting. Never blocks: a frame that arrives in
  /// pieces is completed by later calls. Pings and pongs are skipped; the bridge's close frame is
  /// answered and recorded (closedByBridge()). Throws StreamError on a closed stream or a transport
  /// error, including after the bridge closed the connection (the message then ends with " after the
  /// bridge closed the stream (<code> <reason>)"). Each fragment of a fragmented message is one result.
  [[nodiscard]] std::optional<std::string> receive();

  /// Like receive(), but waits up to `timeout` for a frame, sleeping on the connection's socket rather
  /// than spinning. Returns nothing when no frame completed in time, or at once when the bridge's close
  /// frame arrives during the wait (later calls wait as usual and report the hang-up as an error); a
  /// timeout <= 0 polls once.
  [[nodiscard]] std::optional<std::string> receiveFor(std::chrono::milliseconds timeout);

  /// Takes every complete message already waiting and returns only the newest, or nothing when none is
  /// waiting; the older ones are counted in stats().framesSkipped. The fragments of a fragmented message
  /// are joined into one result (and counted as one frame); a message whose last fragment has not come
  /// yet stays pending for a later call. Never blocks: for a control loop that
  /// wants the freshest sample and never works through a backlog. Costs one receive() per waiting frame
  /// (it reads until libcurl has nothing more), so a bridge sending faster than the client reads keeps it
  /// reading. Throws like receive(); frames taken before the failure are counted as skipped.
  [[nodiscard]] std::optional<std::string> receiveLatest();

  /// Counters of what was received (reconnections and timeDown are always zero here).
  [[nodiscard]] StreamStats stats() const noexcept { return stats_; }

  /// Whether the bridge's close frame has arrived (through receive(), receiveFor() or receiveLatest()).
  [[nodiscard]] bool closedByBridge() const noexcept { return closeCode_ != 0; }
  /// The status code of the bridge's close frame (1000 normal, 1001 going away...), 1005 when it carried
  /// none, 0 while the bridge has not closed the stream.
  [[nodiscard]] int closeCode() const noexcept { return closeCode_; }
  /// The reason text of the bridge's close frame (empty when it gave none).
  [[nodiscard]] const std::string& closeReason() const noexcept { return closeReason_; }
  /// Whether a sendFor() gave up in the middle of a message, which ends sending on this stream.
  [[nodiscard]] bool sendTorn() const noexcept { return sendTorn_; }

 private:
  friend class detail::Access;  // the opener sets observation_
  bool takeFrame(bool wholeMessage);
  std::string closeNote() const;
  std::string receiveFailure(int code) const;
  void noteControlChunk(int flags, long long offset, long long bytesLeft, const char* bytes, std::size_t size);
  void checkCanSend(std::string_view text) const;

  void* handle_;
  std::string pending_;
  std::string closePayload_;  ///< the bridge's close frame as far as it has arrived
  int closeCode_ = 0;
  std::string closeReason_;
  bool sendTorn_ = false;  ///< a sendFor() gave up mid-message
  StreamStats stats_;
  std::shared_ptr<const detail::StreamObservation> observation_;  ///< null without an observer
};

}  // namespace corvane
