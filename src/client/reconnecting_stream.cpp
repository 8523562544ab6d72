// ReconnectingStream: a WebSocketStream reopened with backoff inside the caller's own calls.
#include "corvane/reconnecting_stream.hpp"

#include <algorithm>
#include <random>
#include <thread>
#include <utility>

#include "client/access.hpp"
#include "client/observation.hpp"
#include "client/retry_rules.hpp"
#include "client/routes.hpp"
#include "client/time_limit.hpp"
#include "client/utf8.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) { return detail::pointAfter(timeout); }

std::chrono::milliseconds timeLeft(Clock::time_point deadline) {
  return std::chrono::floor<std::chrono::milliseconds>(deadline - Clock::now());
}

void add(StreamStats& total, const StreamStats& more) {
  total.framesReceived += more.framesReceived;
  total.bytesReceived += more.bytesReceived;
  total.framesSkipped += more.framesSkipped;
  if (more.lastFrameAt) total.lastFrameAt = more.lastFrameAt;
}

std::string closeCause(const WebSocketStream& stream) {
  std::string cause = "the bridge closed the stream (" + std::to_string(stream.closeCode());
  if (!stream.closeReason().empty()) cause += " " + stream.closeReason();
  return cause + ")";
}

// The backoff's steps stop counting far past the largest pause (which no policy reaches after 64 doublings).
int nextStep(int step) { return std::min(step, 1 << 20) + 1; }

}  // namespace

class ReconnectingStream::State {
 public:
  State(IsaacSimClient& client, ArticulationStream which, const std::string& primPath, ReconnectOptions options);

  void checkUsable(const char* call) const;
  std::optional<std::string> receive();
  std::optional<std::string> receiveFor(std::chrono::milliseconds timeout);
  std::optional<std::string> receiveLatest();
  void send(std::string_view text);
  bool sendFor(std::string_view text, std::chrono::milliseconds timeout);
  StreamStats stats() const;
  bool isConnected() const noexcept { return stream_.isOpen(); }
  void close() noexcept;

 private:
  void lose(std::string cause);
  bool reopenBy(std::optional<Clock::time_point> deadline);
  std::optional<std::string> readNow(std::optional<std::string> (WebSocketStream::*read)());
  void attempt(std::optional<Clock::time_point> deadline);
  void failAttempt(const FailedAttempt& failed, bool mendedRetry);
  Clock::time_point afterPause(Clock::time_point from);
  void reconnected();
  [[noreturn]] void giveUp();
  void sendOpeningMessages(WebSocketStream& stream) const;

  IsaacSimClient* client_;
  std::string path_;
  ReconnectOptions options_;
  WebSocketStream stream_{nullptr};
  bool closed_ = false;
  bool down_ = false;
  std::string gaveUp_;  ///< what every call throws once the attempts are spent
  int gaveUpCode_ = 0;
  StreamStats past_;  ///< what earlier connections received
  std::uint64_t reconnections_ = 0;
  Clock::duration timeDown_{};
  Clock::time_point downSince_{};
  Clock::time_point nextAttemptAt_{};
  Clock::time_point connectedAt_{};  ///< when the current (or last) connection was made
  int attempts_ = 0;                 ///< attempts made in the current outage
  int step_ = 0;                     ///< the backoff's step: the pause before the next attempt is its step_-th
  bool mendedRetry_ = false;         ///< the next attempt is the one afterFailedAttempt asked for at once
  long lastHttpStatus_ = 0;
  std::string cause_;      ///< what ended the last connection
  std::string lastError_;  ///< why the last attempt failed
  int lastErrorCode_ = 0;
  std::minstd_rand jitter_;
};

ReconnectingStream::State::State(IsaacSimClient& client, ArticulationStream which, const std::string& primPath,
                                 ReconnectOptions options)
    : client_(&client),
      path_(detail::articulationStreamPath(primPath, which == ArticulationStream::jointPositions
                                                         ? detail::kJointPositionStream
                                                         : detail::kArticulationStateStream)),
      options_(std::move(options)),
      jitter_(static_cast<std::minstd_rand::result_type>(detail::jitterSeed(this))) {
  for (const std::string& message : options_.openingMessages) detail::requireTextMessage(message);
  stream_ = which == ArticulationStream::jointPositions ? client.openJointPositionStream(primPath)
                                                        : client.openArticulationStateStream(primPath);
  connectedAt_ = Clock::now();
  sendOpeningMessages(stream_);
}

void ReconnectingStream::State::checkUsable(const char* call) const {
  if (closed_) throw StreamError(std::string(call) + " called on a closed ReconnectingStream", 0);
  if (!gaveUp_.empty()) throw StreamError(gaveUp_, gaveUpCode_);
}

void ReconnectingStream::State::sendOpeningMessages(WebSocketStream& stream) const {
  for (const std::string& message : options_.openingMessages) stream.send(message);
}

// The end of the pause of the backoff's current step, counted from `from`.
Clock::time_point ReconnectingStream::State::afterPause(Clock::time_point from) {
  return detail::pointAfter(options_.policy.pauseBefore(step_, std::generate_canonical<double, 32>(jitter_)), from);
}

// The connection is gone: keep what it received, and schedule the first attempt. Only a connection that
// lasted starts the backoff over; one lost sooner continues it, so a bridge that drops every stream at once
// meets growing pauses.
void ReconnectingStream::State::lose(std::string cause) {
  add(past_, stream_.stats());
  stream_ = WebSocketStream(nullptr);  // closes it: without a close frame if the bridge sent one
  down_ = true;
  downSince_ = Clock::now();
  const bool lasted =
      std::chrono::floor<std::chrono::milliseconds>(downSince_ - connectedAt_) >= options_.policy.stableAfter();
  step_ = lasted ? 1 : nextStep(step_);
  attempts_ = 0;
  mendedRetry_ = false;
  lastHttpStatus_ = 0;
  lastError_ = cause;
  lastErrorCode_ = 0;
  cause_ = std::move(cause);
  nextAttemptAt_ = afterPause(downSince_);
}

// Makes the attempts that fall due before `deadline` (sleeping until each), or without a deadline at most
// one, if it is due now: a call that never waits never loops on a bridge that keeps failing. True once
// connected.
bool ReconnectingStream::State::reopenBy(std::optional<Clock::time_point> deadline) {
  if (!deadline) {
    if (!stream_.isOpen() && Clock::now() >= nextAttemptAt_) attempt(std::nullopt);
    return stream_.isOpen();
  }
  while (!stream_.isOpen()) {
    const auto now = Clock::now();
    if (now < nextAttemptAt_) {
      if (*deadline <= now) return false;
      std::this_thread::sleep_until(std::min(nextAttemptAt_, *deadline));
      if (Clock::now() < nextAttemptAt_) return false;  // the deadline came first
      continue;
    }
    if (timeLeft(*deadline).count() <= 0) return false;
    attempt(deadline);
  }
  return true;
}

void ReconnectingStream::State::attempt(std::optional<Clock::time_point> deadline) {
  if (!options_.policy.allows(attempts_ + 1)) giveUp();
  const bool mendedRetry = std::exchange(mendedRetry_, false);
  const int stepBefore = step_;
  ++attempts_;
  if (!mendedRetry) step_ = nextStep(step_);  // the retry the hook asked for stays in the same step
  // Scheduled first: a hook that throws must not bring the next attempt forward.
  nextAttemptAt_ = afterPause(Clock::now());
  // Told once: if the handshake has to wait for a later call, the hook must not re-create what it just did.
  const ReopenAttempt info{attempts_, std::exchange(lastHttpStatus_, 0)};
  if (options_.beforeReopen) options_.beforeReopen(info);
  const auto limit = deadline ? timeLeft(*deadline) : client_->timeout();
  if (limit.count() <= 0) {  // the hook used the caller's time up: the attempt is made on a later call
    --attempts_;
    step_ = stepBefore;
    mendedRetry_ = mendedRetry;
    nextAttemptAt_ = Clock::now();
    return;
  }
  FailedAttempt failed;
  try {
    WebSocketStream fresh = detail::Access::openStream(*client_, path_, limit);
    sendOpeningMessages(fresh);
    stream_ = std::move(fresh);
  } catch (const HandshakeError& e) {
    failed = {attempts_, e.httpStatus(), e.what(), e.code()};
  } catch (const StreamError& e) {
    failed = {attempts_, 0, e.what(), e.code()};
  }
  if (stream_.isOpen()) return reconnected();
  failAttempt(failed, mendedRetry);
}

void ReconnectingStream::State::failAttempt(const FailedAttempt& failed, bool mendedRetry) {
  // Counted from the end of the attempt: a slow handshake must not leave the next one already due.
  nextAttemptAt_ = afterPause(Clock::now());
  lastHttpStatus_ = failed.httpStatus;
  lastError_ = failed.error;
  lastErrorCode_ = failed.code;
  if (!options_.policy.allows(attempts_ + 1)) giveUp();
  if (options_.afterFailedAttempt && options_.afterFailedAttempt(failed) && !mendedRetry) {
    mendedRetry_ = true;  // mended: try again at once, once in this step
    nextAttemptAt_ = Clock::now();
  }
}

void ReconnectingStream::State::reconnected() {
  connectedAt_ = Clock::now();
  mendedRetry_ = false;
  const auto down = connectedAt_ - downSince_;
  timeDown_ += down;
  down_ = false;
  ++reconnections_;
  const ReconnectEvent event{reconnections_, attempts_, down, std::move(cause_)};
  attempts_ = 0;
  if (options_.onReconnect) options_.onReconnect(event);
  if (const auto& observer = client_->options().observer) {
    detail::notifyStream({observer, client_->websocketBaseUrl() + path_, client_->options().interrupted},
                         StreamEventKind::reconnected);
  }
}

void ReconnectingStream::State::giveUp() {
  timeDown_ += Clock::now() - downSince_;
  down_ = false;
  gaveUp_ =
      "ReconnectingStream gave up after " + std::to_string(attempts_) + " reopening attempts; the last: " + lastError_;
  gaveUpCode_ = lastErrorCode_;
  throw StreamError(gaveUp_, gaveUpCode_);
}

// One read that never waits (receive or receiveLatest); a failure or the bridge's close starts an outage.
std::optional<std::string> ReconnectingStream::State::readNow(std::optional<std::string> (WebSocketStream::*read)()) {
  if (!reopenBy(std::nullopt)) return std::nullopt;
  try {
    std::optional<std::string> frame = (stream_.*read)();
    if (!frame && stream_.closedByBridge()) lose(closeCause(stream_));
    return frame;
  } catch (const StreamError& e) {
    lose(e.what());
    return std::nullopt;
  }
}

std::optional<std::string> ReconnectingStream::State::receive() { return readNow(&WebSocketStream::receive); }

std::optional<std::string> ReconnectingStream::State::receiveFor(std::chrono::milliseconds timeout) {
  const auto deadline = deadlineAfter(timeout);
  for (;;) {
    if (!reopenBy(deadline)) return std::nullopt;
    try {
      std::optional<std::string> frame = stream_.receiveFor(timeLeft(deadline));
      if (frame || !stream_.closedByBridge()) return frame;
      lose(closeCause(stream_));
    } catch (const StreamError& e) {
      lose(e.what());
    }
  }
}

std::optional<std::string> ReconnectingStream::State::receiveLatest() {
  return readNow(&WebSocketStream::receiveLatest);
}

void ReconnectingStream::State::send(std::string_view text) {
  detail::requireTextMessage(text);
  if (!reopenBy(std::nullopt))
    throw StreamError("send() called while the ReconnectingStream is down: nothing was sent", 0);
  try {
    stream_.send(text);
  } catch (const StreamError& e) {
    lose(e.what());
    throw;
  }
}

bool ReconnectingStream::State::sendFor(std::string_view text, std::chrono::milliseconds timeout) {
  detail::requireTextMessage(text);
  const auto deadline = deadlineAfter(timeout);
  if (!reopenBy(deadline)) return false;
  try {
    if (stream_.sendFor(text, timeLeft(deadline))) return true;
    if (stream_.sendTorn()) lose("sendFor() gave up in the middle of a message");
  } catch (const StreamError& e) {
    lose(e.what());
  }
  return false;
}

StreamStats ReconnectingStream::State::stats() const {
  StreamStats total = past_;
  add(total, stream_.stats());
  total.reconnections = reconnections_;
  total.timeDown = timeDown_ + (down_ ? Clock::now() - downSince_ : Clock::duration::zero());
  return total;
}

void ReconnectingStream::State::close() noexcept {
  if (closed_) return;
  if (down_) timeDown_ += Clock::now() - downSince_;
  down_ = false;
  add(past_, stream_.stats());
  stream_ = WebSocketStream(nullptr);
  closed_ = true;
}

ReconnectingStream::ReconnectingStream(IsaacSimClient& client, ArticulationStream which, const std::string& primPath,
                                       ReconnectOptions options)
    : state_(std::make_unique<State>(client, which, primPath, std::move(options))) {}

ReconnectingStream::ReconnectingStream(ReconnectingStream&&) noexcept = default;
ReconnectingStream& ReconnectingStream::operator=(ReconnectingStream&&) noexcept = default;
ReconnectingStream::~ReconnectingStream() = default;

ReconnectingStream::State& ReconnectingStream::usable(const char* call) {
  if (!state_) throw StreamError(std::string(call) + " called on a closed ReconnectingStream", 0);
  state_->checkUsable(call);
  return *state_;
}

std::optional<std::string> ReconnectingStream::receive() { return usable("receive()").receive(); }

std::optional<std::string> ReconnectingStream::receiveFor(std::chrono::milliseconds timeout) {
  return usable("receiveFor()").receiveFor(timeout);
}

std::optional<std::string> ReconnectingStream::receiveLatest() { return usable("receiveLatest()").receiveLatest(); }

void ReconnectingStream::send(std::string_view text) { usable("send()").send(text); }

bool ReconnectingStream::sendFor(std::string_view text, std::chrono::milliseconds timeout) {
  return usable("sendFor()").sendFor(text, timeout);
}

StreamStats ReconnectingStream::stats() const { return state_ ? state_->stats() : StreamStats{}; }

bool ReconnectingStream::isConnected() const noexcept { return state_ && state_->isConnected(); }

void ReconnectingStream::close() noexcept {
  if (state_) state_->close();
}

}  // namespace corvane
