#pragma once

#include <corvane/stream.hpp>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding.hpp"

namespace corvane::python {

/// corvane.Stream: a WebSocketStream that several Python threads may share. Each call takes the stream's
/// lock after releasing the GIL (never the other way round), and a waiting receive_for takes it for one
/// slice of at most 100 ms at a time, so a close() from another thread gets in.
class Stream {
 public:
  explicit Stream(WebSocketStream stream) : stream_(std::move(stream)) {}

  void send(std::string_view text);
  py::object receive();
  py::object receiveFor(double seconds);
  void close();
  bool isOpen();

 private:
  template <typename Call>
  decltype(auto) locked(Call&& call) {
    return released([&]() -> decltype(auto) {
      const std::lock_guard<std::mutex> lock(mutex_);
      return std::forward<Call>(call)(stream_);
    });
  }

  std::mutex mutex_;
  WebSocketStream stream_;
};

}  // namespace corvane::python
