#pragma once

#include <corvane/reconnecting_stream.hpp>
#include <corvane/stream.hpp>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "binding.hpp"

namespace corvane::python {

/// A stream (WebSocketStream or ReconnectingStream) that several Python threads may share. Each call takes
/// the stream's lock after releasing the GIL (never the other way round), and a waiting receive_for takes it
/// for one slice of at most 100 ms at a time (see sliceFor), so a close() from another thread gets in.
template <typename S>
class Guarded {
 public:
  explicit Guarded(S stream) : stream_(std::move(stream)) {}

  void send(std::string_view text);
  bool sendFor(std::string_view text, double seconds);
  py::object receive();
  py::object receiveFor(double seconds);
  py::object receiveLatest();
  StreamStats stats();
  void close();

 protected:
  template <typename Call>
  decltype(auto) locked(Call&& call) {
    // A reconnecting stream's callback runs inside a call that holds the lock: using the stream there would
    // wait for itself forever.
    if (owner_.load() == std::this_thread::get_id())
      throw std::runtime_error("the stream cannot be used from its own callbacks");
    return released([&]() -> decltype(auto) {
      const std::lock_guard<std::mutex> lock(mutex_);
      owner_ = std::this_thread::get_id();
      const struct Leave {
        std::atomic<std::thread::id>& owner;
        ~Leave() { owner = std::thread::id(); }
      } leave{owner_};
      return std::forward<Call>(call)(stream_);
    });
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  S stream_;
};

/// corvane.Stream.
class Stream : public Guarded<WebSocketStream> {
 public:
  using Guarded::Guarded;
  bool isOpen();
  py::object closeCode();
  py::str closeReason();
  bool sendTorn();
};

/// corvane.ReconnectingStream.
class Reconnecting : public Guarded<ReconnectingStream> {
 public:
  using Guarded::Guarded;
  bool isConnected();
};

/// The methods both stream classes share, with their docs, and the context manager protocol.
template <typename W>
void defineStreamMethods(py::class_<W>& cls) {
  using namespace pybind11::literals;
  cls.def("send", &W::send, "text"_a, "Sends `text` as one text message, whole.")
      .def("send_for", &W::sendFor, "text"_a, "seconds"_a,
           "Like send(), but waits at most `seconds` for the socket to take the message; True when it all went\n"
           "out. A message cut off halfway ends sending on this connection.")
      .def("receive", &W::receive,
           "The payload of the next complete frame, or None when none is waiting. Never blocks.")
      .def("receive_for", &W::receiveFor, "seconds"_a,
           "Like receive(), but waits up to `seconds` (math.inf: no limit) for a frame; None when none came.\n"
           "Ctrl-C ends the wait with KeyboardInterrupt.")
      .def("receive_latest", &W::receiveLatest,
           "Takes every frame already waiting and returns only the newest (None when none is waiting); the\n"
           "others count in stats().frames_skipped. Never blocks.")
      .def("stats", &W::stats, "What the stream has received so far (a StreamStats).")
      .def("close", &W::close, "Closes the stream. Does nothing a second time.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](W& stream, const py::args&) { stream.close(); });
}

}  // namespace corvane::python
