#pragma once

// The client's side of the pushed-frame benchmarks: spin on receive() until a frame comes, and ask the
// server for each batch of frames before it is timed.
#include <cstddef>
#include <optional>
#include <string>

#include <corvane/corvane.hpp>

#include "side_by_side.hpp"

namespace corvane::bench {

inline Side receiveSide(WebSocketStream& stream, std::size_t frameSize) {
  return {"lib",
          [&stream, frameSize] {
            std::optional<std::string> frame;
            while (!(frame = stream.receive())) {
            }
            check(frame->size() == frameSize, "receive() frame size");
          },
          {},
          [&stream](int count) { stream.send(std::to_string(count)); }};
}

}  // namespace corvane::bench
