#pragma once

// Polling a stream the way a host's loop would, for tests.
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "corvane/stream.hpp"

namespace corvane::testing {

struct Polled {
  std::optional<std::string> frame;
  int emptyPolls = 0;  ///< receive() calls that found no complete frame before it
};

/// Polls receive() until it yields a frame. Gives up after a generous limit so that a broken stream
/// fails the test instead of hanging it.
inline Polled pollForFrame(WebSocketStream& stream, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  Polled polled;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    polled.frame = stream.receive();
    if (polled.frame) return polled;
    ++polled.emptyPolls;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return polled;
}

/// Polls receive() until it throws; returns the message, or "" when it never threw within `limit`.
/// Frames found on the way are counted in `frames`.
inline std::string pollForError(WebSocketStream& stream, int& frames,
                                std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      if (stream.receive()) ++frames;
    } catch (const std::exception& e) {
      return e.what();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return "";
}

}  // namespace corvane::testing
