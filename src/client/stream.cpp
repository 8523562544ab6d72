// WebSocketStream: text send and non-blocking receive over a libcurl connect-only WebSocket handle.
#include "corvane/stream.hpp"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>

#include "client/curl_handle.hpp"
#include "client/observation.hpp"
#include "client/time_limit.hpp"
#include "client/utf8.hpp"

namespace corvane {
namespace {

constexpr size_t kReadChunk = 4096;
constexpr int kControlFrames = CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG;
constexpr size_t kLargestControlPayload = 125;  // RFC 6455 section 5.5
constexpr const char* kSendFailed = "WebSocket send failed: ";
constexpr const char* kReceiveFailed = "WebSocket receive failed: ";
constexpr int kCloseWithoutCode = 1005;  // RFC 6455 section 7.1.5: the close frame held no status

// Frames up to this size get their whole buffer on their first chunk; a larger announced size (which the
// peer may never send) only grows the buffer as bytes actually arrive.
constexpr std::uint64_t kLargestReservation = std::uint64_t{16} << 20;

using Clock = std::chrono::steady_clock;

CURL* easy(void* handle) { return static_cast<CURL*>(handle); }

// One allocation per frame instead of one per doubling: a 1 MiB frame arrives in 256 chunks.
void reserveFrame(std::string& pending, const curl_ws_frame& frame, size_t received) {
  if (frame.offset < 0 || frame.bytesleft < 0) return;
  const std::uint64_t size =
      static_cast<std::uint64_t>(frame.offset) + received + static_cast<std::uint64_t>(frame.bytesleft);
  if (size > pending.capacity() && size <= kLargestReservation) pending.reserve(static_cast<size_t>(size));
}

// libcurl does not answer a close frame by itself. Without an answer the bridge keeps the connection
// open and receive() would report "no data" until the bridge gives up; answering lets it hang up, which
// the next reads report as an error.
void sendCloseFrame(CURL* handle) {
  size_t sent = 0;
  (void)curl_ws_send(handle, "", 0, &sent, 0, CURLWS_CLOSE);
}

Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) { return detail::pointAfter(timeout); }

std::chrono::milliseconds timeLeft(Clock::time_point deadline) {
  return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
}

// Offers libcurl the text from `offset` on as one text message (or its rest) and advances `offset` by what
// it took; true once the whole message is out. CURLE_AGAIN is not an error: the rest must be offered again.
bool offerRest(CURL* handle, std::string_view text, size_t& offset) {
  const char* data = text.data() != nullptr ? text.data() : "";
  size_t sent = 0;
  const CURLcode code = curl_ws_send(handle, data + offset, text.size() - offset, &sent, 0, CURLWS_TEXT);
  offset += sent;
  if (code != CURLE_OK && code != CURLE_AGAIN) throw StreamError(detail::curlErrorText(kSendFailed, code), code);
  return code == CURLE_OK && offset == text.size();
}

// Sleeps until the connection's socket is ready for `events` (or hung up) or `limit` has passed; true when
// it is. A failure throws StreamError with `prefix` ("WebSocket receive failed: " or "WebSocket send failed: ").
bool waitForSocket(CURL* handle, short events, std::chrono::milliseconds limit, const char* prefix) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  const CURLcode code = curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket);
  if (code != CURLE_OK) throw StreamError(detail::curlErrorText(prefix, code), code);
  if (socket == CURL_SOCKET_BAD) throw StreamError(std::string(prefix) + "the connection has no socket", 0);
  pollfd entry{socket, events, 0};
  const long long clamped = std::clamp<long long>(limit.count(), 0, INT_MAX);
  const int ready = ::poll(&entry, 1, static_cast<int>(clamped));
  // EINTR sends the caller back to its loop, which recomputes the time left.
  if (ready < 0 && errno != EINTR) throw StreamError(std::string(prefix) + "poll() failed", 0);
  return ready > 0;
}

// Tells the observer of a whole message in `pending`. The message leaves `pending` first: when the observer
// throws, the message is consumed and the stream goes on with the next one, never with the two glued.
void notifyReceived(const detail::StreamObservation& observation, std::string& pending) {
  std::string message = std::move(pending);
  pending.clear();
  detail::notifyStream(observation, StreamEventKind::received, message);
  pending = std::move(message);
}

}  // namespace

WebSocketStream::WebSocketStream(void* handle) noexcept : handle_(handle) {}

WebSocketStream::WebSocketStream(WebSocketStream&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      pending_(std::move(other.pending_)),
      closePayload_(std::move(other.closePayload_)),
      closeCode_(std::exchange(other.closeCode_, 0)),
      closeReason_(std::move(other.closeReason_)),
      sendTorn_(std::exchange(other.sendTorn_, false)),
      stats_(std::exchange(other.stats_, StreamStats{})),
      observation_(std::move(other.observation_)) {
  // A moved-from string is only "valid but unspecified".
  other.pending_.clear();
  other.closePayload_.clear();
  other.closeReason_.clear();
}

WebSocketStream& WebSocketStream::operator=(WebSocketStream&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
    pending_ = std::move(other.pending_);
    closePayload_ = std::move(other.closePayload_);
    closeCode_ = std::exchange(other.closeCode_, 0);
    closeReason_ = std::move(other.closeReason_);
    sendTorn_ = std::exchange(other.sendTorn_, false);
    stats_ = std::exchange(other.stats_, StreamStats{});
    observation_ = std::move(other.observation_);
    other.pending_.clear();
    other.closePayload_.clear();
    other.closeReason_.clear();
  }
  return *this;
}

WebSocketStream::~WebSocketStream() { close(); }

void WebSocketStream::close() noexcept {
  if (handle_ == nullptr) return;
  if (observation_) {
    try {
      detail::notifyStream(*observation_, StreamEventKind::closed);
    } catch (...) {  // closing cannot fail: the observer's error is dropped (see ClientObserver)
    }
  }
  // Best effort: the connection is released whether or not the close frame went out. After the bridge's
  // close frame (answered already) a second one would break the closing handshake.
  if (!closedByBridge() && !sendTorn_) sendCloseFrame(easy(handle_));
  curl_easy_cleanup(easy(handle_));
  handle_ = nullptr;
}

void WebSocketStream::checkCanSend(std::string_view text) const {
  if (handle_ == nullptr) throw StreamError("send() called on a closed WebSocketStream", 0);
  if (closedByBridge())
    throw StreamError("send() called after the bridge closed the WebSocketStream " + closeNote(), 0);
  if (sendTorn_) throw StreamError("send() called after sendFor() gave up in the middle of a message", 0);
  detail::requireTextMessage(text);  // the bridge would close the stream (1007) on invalid text
}

// The bridge's close frame, as later errors name it: "(1007 reason)", "(1000)".
std::string WebSocketStream::closeNote() const {
  std::string note = "(" + std::to_string(closeCode_);
  if (!closeReason_.empty()) note += " " + closeReason_;
  return note + ")";
}

void WebSocketStream::send(std::string_view text) {
  checkCanSend(text);
  // libcurl may take part of the message per call; finishing the whole message before returning keeps
  // a half-sent frame from meeting an automatic pong on the next receive.
  size_t offset = 0;
  while (!offerRest(easy(handle_), text, offset)) {
  }
  if (observation_) detail::notifyStream(*observation_, StreamEventKind::sent, text);
}

bool WebSocketStream::sendFor(std::string_view text, std::chrono::milliseconds timeout) {
  checkCanSend(text);
  const auto deadline = deadlineAfter(timeout);
  // Nothing is handed to libcurl before the socket can take bytes: libcurl may begin a frame (queue its
  // header) even on a call that reports CURLE_AGAIN, so from the first call on the message is under way.
  while (!waitForSocket(easy(handle_), POLLOUT, timeLeft(deadline), kSendFailed)) {
    if (timeLeft(deadline).count() <= 0) return false;
  }
  size_t offset = 0;
  while (!offerRest(easy(handle_), text, offset)) {
    const auto left = timeLeft(deadline);
    if (left.count() <= 0) {
      sendTorn_ = true;
      return false;
    }
    (void)waitForSocket(easy(handle_), POLLOUT, left, kSendFailed);
  }
  if (observation_) detail::notifyStream(*observation_, StreamEventKind::sent, text);
  return true;
}

// Reads until a frame is complete in pending_ (true) or libcurl has nothing more (false). With `wholeMessage`,
// the fragments of one message are joined: it completes with the message's last fragment.
bool WebSocketStream::takeFrame(bool wholeMessage) {
  if (handle_ == nullptr) throw StreamError("receive() called on a closed WebSocketStream", 0);
  char buffer[kReadChunk];
  for (;;) {
    size_t received = 0;
    const curl_ws_frame* frame = nullptr;
    const CURLcode code = curl_ws_recv(easy(handle_), buffer, sizeof buffer, &received, &frame);
    if (code == CURLE_AGAIN) return false;  // pending_ keeps a partly received frame
    if (code != CURLE_OK) throw StreamError(receiveFailure(code), code);
    if (frame != nullptr && (frame->flags & kControlFrames) != 0) {
      noteControlChunk(frame->flags, frame->offset, frame->bytesleft, buffer, received);
      if (closedByBridge()) return false;  // nothing follows a close frame: the caller learns of it at once
      continue;
    }
    if (frame != nullptr) reserveFrame(pending_, *frame, received);
    pending_.append(buffer, received);
    const bool moreFragments = wholeMessage && frame != nullptr && (frame->flags & CURLWS_CONT) != 0;
    if (frame == nullptr || (frame->bytesleft == 0 && !moreFragments)) {
      ++stats_.framesReceived;
      stats_.bytesReceived += pending_.size();
      stats_.lastFrameAt = Clock::now();
      if (observation_) notifyReceived(*observation_, pending_);
      return true;
    }
  }
}

// Pings and pongs are libcurl's business. The bridge's close frame is answered once, on its first piece
// (libcurl may hand it over in several), and its status code and reason are kept once it is whole.
void WebSocketStream::noteControlChunk(int flags, long long offset, long long bytesLeft, const char* bytes,
                                       size_t size) {
  if ((flags & CURLWS_CLOSE) == 0 || closedByBridge()) return;
  if (offset == 0 && !sendTorn_) sendCloseFrame(easy(handle_));
  const size_t room = kLargestControlPayload - std::min(closePayload_.size(), kLargestControlPayload);
  closePayload_.append(bytes, std::min(size, room));
  if (bytesLeft > 0) return;
  if (closePayload_.size() >= 2) {
    closeCode_ = static_cast<unsigned char>(closePayload_[0]) << 8 | static_cast<unsigned char>(closePayload_[1]);
    closeReason_ = closePayload_.substr(2);
  }
  if (closeCode_ == 0) closeCode_ = kCloseWithoutCode;
  closePayload_.clear();
  if (observation_) detail::notifyStream(*observation_, StreamEventKind::closedByBridge);
}

// After the bridge's close frame, a failed read says so: what the bridge gave as its reason is the cause.
std::string WebSocketStream::receiveFailure(int code) const {
  std::string message = detail::curlErrorText(kReceiveFailed, static_cast<CURLcode>(code));
  if (closedByBridge()) message += " after the bridge closed the stream " + closeNote();
  return message;
}

std::optional<std::string> WebSocketStream::receive() {
  if (!takeFrame(false)) return std::nullopt;
  std::optional<std::string> result(std::move(pending_));
  pending_.clear();
  return result;
}

std::optional<std::string> WebSocketStream::receiveFor(std::chrono::milliseconds timeout) {
  const auto deadline = deadlineAfter(timeout);
  // The bridge's close frame ends this wait; once it is known, later waits go on until the hang-up (an
  // error) or the timeout, so that a polling loop does not spin.
  const bool closedBefore = closedByBridge();
  for (;;) {
    // Always read first: libcurl may already hold whole frames in its buffer while the socket is quiet.
    std::optional<std::string> result = receive();
    if (result || closedByBridge() != closedBefore) return result;
    const auto left = timeLeft(deadline);
    if (left.count() <= 0) return std::nullopt;
    (void)waitForSocket(easy(handle_), POLLIN, left, kReceiveFailed);
  }
}

std::optional<std::string> WebSocketStream::receiveLatest() {
  std::optional<std::string> latest;
  try {
    while (takeFrame(true)) {
      if (latest) {
        ++stats_.framesSkipped;
        latest->swap(pending_);  // the older frame's buffer takes the next one
        pending_.clear();
      } else {
        latest.emplace(std::move(pending_));
        pending_.clear();
      }
    }
  } catch (...) {
    if (latest) ++stats_.framesSkipped;  // taken, never handed out
    throw;
  }
  return latest;
}

}  // namespace corvane
