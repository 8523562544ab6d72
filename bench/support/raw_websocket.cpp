#include "raw_websocket.hpp"

#include "side_by_side.hpp"

namespace corvane::bench {

RawWebSocket::RawWebSocket(const std::string& url, long timeoutMs) : handle_(curl_easy_init()) {
  check(handle_ != nullptr, "curl_easy_init");
  curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle_, CURLOPT_CONNECT_ONLY, 2L);
  curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, timeoutMs);
  const CURLcode code = curl_easy_perform(handle_);
  check(code == CURLE_OK, std::string("raw WebSocket handshake: ") + curl_easy_strerror(code));
}

RawWebSocket::~RawWebSocket() {
  size_t sent = 0;
  (void)curl_ws_send(handle_, "", 0, &sent, 0, CURLWS_CLOSE);
  curl_easy_cleanup(handle_);
}

std::string RawWebSocket::receiveFrame() {
  std::string frame;
  char buffer[4096];
  for (;;) {
    size_t received = 0;
    const curl_ws_frame* meta = nullptr;
    const CURLcode code = curl_ws_recv(handle_, buffer, sizeof buffer, &received, &meta);
    if (code == CURLE_AGAIN) continue;
    check(code == CURLE_OK, std::string("curl_ws_recv: ") + curl_easy_strerror(code));
    if (meta != nullptr && (meta->flags & (CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG)) != 0) continue;
    // The first chunk tells the frame's size: one allocation for the whole payload.
    if (frame.empty() && meta != nullptr)
      frame.reserve(static_cast<size_t>(meta->offset) + received + static_cast<size_t>(meta->bytesleft));
    frame.append(buffer, received);
    if (meta == nullptr || meta->bytesleft == 0) return frame;
  }
}

void RawWebSocket::send(std::string_view text) {
  size_t offset = 0;
  for (;;) {
    size_t sent = 0;
    const CURLcode code = curl_ws_send(handle_, text.data() + offset, text.size() - offset, &sent, 0, CURLWS_TEXT);
    offset += sent;
    if (code == CURLE_OK && offset == text.size()) return;
    check(code == CURLE_OK || code == CURLE_AGAIN, std::string("curl_ws_send: ") + curl_easy_strerror(code));
  }
}

}  // namespace corvane::bench
