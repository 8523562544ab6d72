#pragma once

// An open joint-position stream on a scripted TestBridge, with the bridge's end of it, for the stream tests.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "corvane/corvane.hpp"
#include "test_bridge.hpp"

namespace corvane::testing {

struct ConnectedStream {
  /// With `readDelay`, the bridge starts reading what the client sends only after that long.
  explicit ConnectedStream(std::chrono::milliseconds readDelay = std::chrono::milliseconds(0)) {
    bridge.setWebSocketReadDelay(readDelay);
    stream = client.openJointPositionStream("/World/arm");
    peer = bridge.webSocket();
  }

  TestBridge bridge;
  IsaacSimClient client{"test", bridge.baseUrl(), bridge.wsBaseUrl(), std::chrono::milliseconds(5000), 0};
  WebSocketStream stream{nullptr};
  std::shared_ptr<WebSocketPeer> peer;  ///< null (and a test failure) when the stream never connected
};

/// `size` bytes of lower-case text that does not repeat at short periods, so a misplaced piece shows.
inline std::string patterned(std::size_t size) {
  std::string text(size, ' ');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return text;
}

}  // namespace corvane::testing
