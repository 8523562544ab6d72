#pragma once

// A joint-position or articulation-state stream that reopens itself after a loss, inside the caller's own
// calls: no thread, no hidden waiting past the caller's timeout, and every loss visible.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/export.hpp"
#include "corvane/stream.hpp"

namespace corvane {

class IsaacSimClient;

/// When a ReconnectingStream tries again: a pause before each reopening attempt that doubles from
/// `firstPause` up to `largestPause`, with jitter so that many clients do not reconnect in step, and
/// at most `maxAttempts` attempts per outage (kUnlimited: no limit). The backoff starts over from the
/// first pause only after a connection stayed up for stableAfter(); a connection lost sooner continues
/// it, so that a bridge that accepts each stream and drops it at once is not hammered.
class CORVANE_API ReconnectPolicy {
 public:
  static constexpr int kUnlimited = 0;

  /// Throws std::invalid_argument when firstPause <= 0, largestPause < firstPause or maxAttempts < 0.
  explicit ReconnectPolicy(std::chrono::milliseconds firstPause = std::chrono::milliseconds(100),
                           std::chrono::milliseconds largestPause = std::chrono::seconds(5),
                           int maxAttempts = kUnlimited);

  /// The pause before attempt `attempt` (1 for the first after a loss): firstPause * 2^(attempt - 1), at
  /// most largestPause, scaled into [half of it, all of it] by `unit` (a random value in [0, 1]), and
  /// never shorter than 1 ms.
  [[nodiscard]] std::chrono::milliseconds pauseBefore(int attempt, double unit) const noexcept;
  /// Whether attempt number `attempt` (1-based) may be made.
  [[nodiscard]] bool allows(int attempt) const noexcept;

  [[nodiscard]] std::chrono::milliseconds firstPause() const noexcept { return firstPause_; }
  [[nodiscard]] std::chrono::milliseconds largestPause() const noexcept { return largestPause_; }
  [[nodiscard]] int maxAttempts() const noexcept { return maxAttempts_; }
  /// How long a connection must stay up for the backoff to start over: the largest pause, at least 1 s.
  [[nodiscard]] std::chrono::milliseconds stableAfter() const noexcept;

 private:
  std::chrono::milliseconds firstPause_;
  std::chrono::milliseconds largestPause_;
  int maxAttempts_;
};

/// Which stream of an articulation to open.
enum class ArticulationStream {
  jointPositions,     ///< "/stream_joint_positions" (IsaacSimClient::openJointPositionStream)
  articulationState,  ///< "/stream_articulation_state" (IsaacSimClient::openArticulationStateStream)
};

/// Handed to ReconnectOptions::beforeReopen before each reopening attempt.
struct ReopenAttempt {
  int attempt = 0;  ///< 1 for the first attempt after the loss
  /// The HTTP status with which the bridge refused the previous attempt's handshake (404: no such
  /// articulation, e.g. after a restart lost the scene); 0 on the first attempt, when the bridge did not
  /// answer (down, refusing connections), and when the previous call of the hook left no time for its
  /// handshake (the attempt is then made again on a later call).
  long lastHttpStatus = 0;
};

/// Handed to ReconnectOptions::afterFailedAttempt right after a reopening attempt failed.
struct FailedAttempt {
  int attempt = 0;      ///< 1 for the first attempt after the loss
  long httpStatus = 0;  ///< the status with which the bridge refused the handshake; 0 when it did not answer
  std::string error;    ///< the error's message (a HandshakeError's or StreamError's what())
  int code = 0;         ///< libcurl's error code, 0 when there was none
};

/// Handed to ReconnectOptions::onReconnect after a connection was reopened.
struct ReconnectEvent {
  std::uint64_t reconnections = 0;             ///< reconnections so far, this one included
  int attempts = 0;                            ///< attempts this outage took, the successful one included
  std::chrono::steady_clock::duration down{};  ///< how long this outage lasted
  std::string cause;                           ///< what ended the previous connection
};

struct ReconnectOptions {
  ReconnectPolicy policy;
  /// Sent, in order, right after the first opening and after every reopening (a subscription, say).
  std::vector<std::string> openingMessages;
  /// Run on the caller's thread, inside the call that reopened, before each attempt: the place to
  /// re-create what the bridge lost (the articulation, after a restart). Its time counts against the
  /// caller's timeout; what it throws reaches the caller (the attempt counts as made). It must not use
  /// the stream.
  std::function<void(const ReopenAttempt&)> beforeReopen;
  /// Run on the caller's thread right after a reopening attempt failed, with its outcome, unless it was
  /// the last attempt the policy allows: the place to mend what the bridge refused (re-create the
  /// articulation on a 404). Returning true says the cause is mended: the next attempt is then due at
  /// once instead of after the pause, once per step of the backoff (if that attempt fails too, the next
  /// one waits for its pause, whatever the hook says). Its time counts as beforeReopen's; what it throws
  /// reaches the caller (the pause before the next attempt is kept). It must not use the stream.
  std::function<bool(const FailedAttempt&)> afterFailedAttempt;
  /// Run on the caller's thread after a reopening, once the opening messages went out. What it throws
  /// reaches the caller; the stream is connected by then. It must not use the stream.
  std::function<void(const ReconnectEvent&)> onReconnect;
};

/// A stream of an articulation that reopens itself when a receive or send fails or the bridge closes it.
///
/// No thread runs for it: reopening happens inside the caller's receive, receiveFor, receiveLatest, send
/// and sendFor calls. After a loss the first attempt comes after the policy's first pause (or, when the
/// lost connection was up for less than the policy's stableAfter(), after the backoff's next pause),
/// later ones after growing pauses, each counted from the end of the failed attempt; an attempt is one
/// handshake (never retried by the client) followed by the opening messages. receiveFor() and sendFor()
/// wait through the pauses and reopen within their timeout, and an attempt's handshake gets only the time
/// they have left (at most the client's timeout): a caller that gives each call only a millisecond or two
/// may starve a slow handshake. receive(), receiveLatest() and send() never wait for a pause and make at
/// most one attempt, when one is due: it may take up to the client's timeout.
///
/// Nothing lost is hidden: frames the bridge sent while the stream was down are not there, a message whose
/// send failed is not sent again, and stats() counts reconnections and the time spent down. When the
/// policy's attempts are spent, the call that made the last one throws StreamError, and so does every later
/// call. Move-only (a moved-from stream is closed: its calls throw StreamError); use it from one thread at
/// a time; the client must outlive it.
class CORVANE_API ReconnectingStream {
 public:
  /// Opens the stream at once through the client's opener (throwing HandshakeError as it does when that
  /// fails), then sends the opening messages (StreamError when that fails). An opening message that is not
  /// valid UTF-8 throws std::invalid_argument before anything is opened.
  ReconnectingStream(IsaacSimClient& client, ArticulationStream which, const std::string& primPath,
                     ReconnectOptions options = ReconnectOptions());
  ReconnectingStream(ReconnectingStream&&) noexcept;
  ReconnectingStream& operator=(ReconnectingStream&&) noexcept;
  ReconnectingStream(const ReconnectingStream&) = delete;
  ReconnectingStream& operator=(const ReconnectingStream&) = delete;
  ~ReconnectingStream();

  /// As WebSocketStream::receive(); a failure or the bridge's close frame starts an outage and gives
  /// nothing. While down: makes the next attempt if it is due, and gives nothing otherwise.
  [[nodiscard]] std::optional<std::string> receive();
  /// Waits up to `timeout` for a frame, reopening on the way as needed; nothing when none came in time.
  [[nodiscard]] std::optional<std::string> receiveFor(std::chrono::milliseconds timeout);
  /// As WebSocketStream::receiveLatest() (the newest whole message); while down, as receive().
  [[nodiscard]] std::optional<std::string> receiveLatest();
  /// Sends one text message on the current connection, reopening first if an attempt is due. Throws
  /// StreamError when there is no connection ("... while the stream is down", nothing sent) or when the
  /// send fails (the stream then reopens later; the message is not sent again), std::invalid_argument
  /// for text that is not valid UTF-8 (before anything else happens).
  void send(std::string_view text);
  /// Sends within `timeout`, reopening first as needed; true when the whole message went out. False when
  /// it could not in time; if the deadline passed halfway through the message the connection is dropped
  /// (the bridge discards the torn frame with it) and reopened later. A failed send gives false too.
  [[nodiscard]] bool sendFor(std::string_view text, std::chrono::milliseconds timeout);

  /// Counters over all connections, with the reconnections and the time spent down.
  [[nodiscard]] StreamStats stats() const;
  /// Whether a connection is held right now.
  [[nodiscard]] bool isConnected() const noexcept;
  /// Closes the connection for good; later calls throw StreamError. Does nothing a second time.
  void close() noexcept;

 private:
  class State;  // the connection, the backoff and the counters: src/client/reconnecting_stream.cpp
  State& usable(const char* call);
  std::unique_ptr<State> state_;  ///< null in a stream moved from
};

}  // namespace corvane
