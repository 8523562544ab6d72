#pragma once

// The WebSocket baseline: a libcurl connect-only connection driven with curl_ws_recv / curl_ws_send
// directly, through the same 4096-byte read buffer the client uses.
#include <string>
#include <string_view>

#include <curl/curl.h>

namespace corvane::bench {

class RawWebSocket {
 public:
  /// Connects with the client's options: URL, CURLOPT_CONNECT_ONLY = 2, whole-transfer timeout.
  RawWebSocket(const std::string& url, long timeoutMs);
  ~RawWebSocket();  ///< sends a close frame and releases the handle
  RawWebSocket(const RawWebSocket&) = delete;
  RawWebSocket& operator=(const RawWebSocket&) = delete;

  /// Polls until one whole data frame has arrived and returns its payload (control frames skipped).
  std::string receiveFrame();
  /// Sends `text` as one text frame, retrying at once while the socket would block.
  void send(std::string_view text);

 private:
  CURL* handle_;
};

}  // namespace corvane::bench
