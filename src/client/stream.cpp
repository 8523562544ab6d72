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

namespace corvane {
namespace {

constexpr size_t kReadChunk = 4096;
constexpr int kControlFrames = CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG;

// Frames up to this size get their whole buffer on their first chunk; a larger announced size (which the
// peer may never send) only grows the buffer as bytes actually arrive.
constexpr std::uint64_t kLargestReservation = std::uint64_t{16} << 20;

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

// Sleeps until the connection's socket is readable (or hung up) or `limit` has passed.
void waitReadable(CURL* handle, std::chrono::milliseconds limit) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  const CURLcode code = curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket);
  if (code != CURLE_OK) throw StreamError(detail::curlErrorText("WebSocket receive failed: ", code), code);
  if (socket == CURL_SOCKET_BAD) throw StreamError("WebSocket receive failed: the connection has no socket", 0);
  pollfd entry{socket, POLLIN, 0};
  const int millis = limit.count() > INT_MAX ? INT_MAX : static_cast<int>(limit.count());
  // EINTR and readiness alike send the caller back to receive(), which recomputes the time left.
  if (::poll(&entry, 1, millis) < 0 && errno != EINTR) {
    throw StreamError("WebSocket receive failed: poll() failed", 0);
  }
}

}  // namespace

WebSocketStream::WebSocketStream(void* handle) noexcept : handle_(handle) {}

WebSocketStream::WebSocketStream(WebSocketStream&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), pending_(std::move(other.pending_)) {
  other.pending_.clear();  // a moved-from string is only "valid but unspecified"
}

WebSocketStream& WebSocketStream::operator=(WebSocketStream&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
    pending_ = std::move(other.pending_);
    other.pending_.clear();
  }
  return *this;
}

WebSocketStream::~WebSocketStream() { close(); }

void WebSocketStream::close() noexcept {
  if (handle_ == nullptr) return;
  // Best effort: the connection is released whether or not the close frame went out.
  sendCloseFrame(easy(handle_));
  curl_easy_cleanup(easy(handle_));
  handle_ = nullptr;
}

void WebSocketStream::send(std::string_view text) {
  if (handle_ == nullptr) throw StreamError("send() called on a closed WebSocketStream", 0);
  // libcurl may take part of the message per call; finishing the whole message before returning keeps
  // a half-sent frame from meeting an automatic pong on the next receive.
  const char* data = text.data() != nullptr ? text.data() : "";
  size_t offset = 0;
  for (;;) {
    size_t sent = 0;
    const CURLcode code = curl_ws_send(easy(handle_), data + offset, text.size() - offset, &sent, 0, CURLWS_TEXT);
    offset += sent;
    if (code == CURLE_OK && offset == text.size()) return;
    // CURLE_AGAIN: `sent` says what (if anything) was taken; the rest must be offered again.
    if (code != CURLE_OK && code != CURLE_AGAIN) {
      throw StreamError(detail::curlErrorText("WebSocket send failed: ", code), code);
    }
  }
}

std::optional<std::string> WebSocketStream::receive() {
  if (handle_ == nullptr) throw StreamError("receive() called on a closed WebSocketStream", 0);
  char buffer[kReadChunk];
  for (;;) {
    size_t received = 0;
    const curl_ws_frame* frame = nullptr;
    const CURLcode code = curl_ws_recv(easy(handle_), buffer, sizeof buffer, &received, &frame);
    if (code == CURLE_AGAIN) return std::nullopt;  // pending_ keeps a partly received frame
    if (code != CURLE_OK) throw StreamError(detail::curlErrorText("WebSocket receive failed: ", code), code);
    // libcurl may hand a close frame over in pieces; it is answered once, on its first.
    if (frame != nullptr && (frame->flags & CURLWS_CLOSE) != 0 && frame->offset == 0) sendCloseFrame(easy(handle_));
    if (frame != nullptr && (frame->flags & kControlFrames) != 0) continue;
    if (frame != nullptr) reserveFrame(pending_, *frame, received);
    pending_.append(buffer, received);
    if (frame == nullptr || frame->bytesleft == 0) {
      std::optional<std::string> result(std::move(pending_));
      pending_.clear();
      return result;
    }
  }
}

std::optional<std::string> WebSocketStream::receiveFor(std::chrono::milliseconds timeout) {
  // Capped so that "wait forever" (milliseconds::max()) cannot overflow the clock's nanoseconds.
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
  // Negative timeouts poll once; clamping them also keeps milliseconds::min() from overflowing.
  const auto wait = std::clamp(timeout, std::chrono::milliseconds::zero(), kLongest);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    // Always read first: libcurl may already hold whole frames in its buffer while the socket is quiet.
    std::optional<std::string> result = receive();
    if (result) return result;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    waitReadable(easy(handle_), left);
  }
}

}  // namespace corvane
