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
#include "python_error.hpp"
#include "text_arg.hpp"

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
  /// The next sample, waiting as long as it takes; StopIteration once the bridge closed the stream or it
  /// was closed here (a reconnecting stream reopens instead, and raises StreamError when it gives up).
  py::object next();
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

/// The Python objects a ReconnectingStream uses: its client (whose address the stream keeps) and callbacks.
struct ReconnectingHolds {
  py::object client;
  SharedCallable beforeReopen;
  SharedCallable onReconnect;
  SharedCallable afterFailedAttempt;
};

/// corvane.ReconnectingStream. The holds come first, so the stream is gone before they are let go.
class Reconnecting : public ReconnectingHolds, public Guarded<ReconnectingStream> {
 public:
  Reconnecting(ReconnectingHolds holds, ReconnectingStream stream)
      : ReconnectingHolds(std::move(holds)), Guarded(std::move(stream)) {}
  bool isConnected();
};

/// The methods both stream classes share, with their docs, and the context manager protocol.
template <typename W>
void defineStreamMethods(py::class_<W>& cls) {
  using namespace pybind11::literals;
  cls.def(
         "send", [](W& stream, const Text<kText>& text) { stream.send(text); }, "text"_a,
         "Sends `text` (str as UTF-8, or bytes) as one text message, whole. Raises StreamError when the\n"
         "stream is closed or the send fails.")
      .def(
          "send_for", [](W& stream, const Text<kText>& text, double seconds) { return stream.sendFor(text, seconds); },
          "text"_a, "seconds"_a,
          "Like send(), but waits at most `seconds` for the socket to take the message; True when it all went\n"
          "out. A message cut off halfway ends sending on this connection.")
      .def("receive", &W::receive,
           "The payload (bytes) of the next complete frame, or None when none is waiting. Never blocks.\n"
           "Raises StreamError on a closed stream or a transport error (the bridge's hang-up included).")
      .def("receive_for", &W::receiveFor, "seconds"_a,
           "Like receive(), but waits up to `seconds` (math.inf: no limit) for a frame; None when none came\n"
           "or when the bridge's close frame arrived. Ctrl-C ends the wait with KeyboardInterrupt.")
      .def("receive_latest", &W::receiveLatest,
           "Takes every frame already waiting and returns only the newest (None when none is waiting); the\n"
           "others count in stats().frames_skipped. Never blocks.")
      .def("stats", &W::stats, "What the stream has received so far (a StreamStats).")
      .def("close", &W::close, "Closes the stream. Does nothing a second time.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &W::next)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](W& stream, const py::args&) { stream.close(); });
}

}  // namespace corvane::python
