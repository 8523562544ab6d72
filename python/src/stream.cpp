#include "stream.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>

namespace corvane::python {
namespace {

using std::chrono::milliseconds;

// The longest a receive_for waits without looking at Python's signals: Ctrl-C ends it within this.
constexpr milliseconds kSlice{100};
// A reconnecting stream without a connection gets longer slices: a reopening handshake is given at most
// its slice, and one cut off at 100 ms would fail (and count as an attempt) against a distant bridge. The
// handshake itself still sees Ctrl-C through the client's interruption hook.
constexpr milliseconds kReopeningSlice{1000};
// "Wait forever" (math.inf) and anything longer: a century, which the steady clock can still add.
constexpr double kLongestSeconds = 100.0 * 365 * 24 * 3600;

milliseconds sliceFor(const WebSocketStream&) { return kSlice; }
milliseconds sliceFor(const ReconnectingStream& stream) { return stream.isConnected() ? kSlice : kReopeningSlice; }

// The bridge's close frame ends a wait at once; another slice would report the hang-up as an error. A
// reconnecting stream reopens instead.
bool closedByBridge(const WebSocketStream& stream) { return stream.closedByBridge(); }
bool closedByBridge(const ReconnectingStream&) { return false; }

// Iteration ends on a stream closed by either side; a reconnecting stream is never done.
bool finished(const WebSocketStream& stream) { return !stream.isOpen() || stream.closedByBridge(); }
bool finished(const ReconnectingStream&) { return false; }

milliseconds waitOf(double seconds) {
  if (std::isnan(seconds)) throw py::value_error("seconds must be a number, not NaN");
  return std::chrono::ceil<milliseconds>(std::chrono::duration<double>(std::clamp(seconds, 0.0, kLongestSeconds)));
}

py::object payload(std::optional<std::string> frame) {
  if (!frame) return py::none();
  return py::bytes(*frame);
}

}  // namespace

template <typename S>
void Guarded<S>::send(std::string_view text) {
  locked([&](S& stream) { stream.send(text); });
}

template <typename S>
bool Guarded<S>::sendFor(std::string_view text, double seconds) {
  const milliseconds wait = waitOf(seconds);
  return locked([&](S& stream) { return stream.sendFor(text, wait); });
}

template <typename S>
py::object Guarded<S>::receive() {
  return payload(locked([](S& stream) { return stream.receive(); }));
}

template <typename S>
py::object Guarded<S>::receiveFor(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + waitOf(seconds);
  for (;;) {
    bool last = false;
    std::optional<std::string> frame = locked([&](S& stream) {
      const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
      const milliseconds slice = std::clamp(left, milliseconds::zero(), sliceFor(stream));
      std::optional<std::string> received = stream.receiveFor(slice);
      last = left <= slice || closedByBridge(stream);
      return received;
    });
    if (frame) return payload(std::move(frame));
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // Ctrl-C: KeyboardInterrupt
    if (last) return py::none();
  }
}

template <typename S>
py::object Guarded<S>::receiveLatest() {
  return payload(locked([](S& stream) { return stream.receiveLatest(); }));
}

template <typename S>
py::object Guarded<S>::next() {
  for (;;) {
    if (locked([](S& stream) { return finished(stream); })) throw py::stop_iteration();
    py::object sample = receiveFor(kLongestSeconds);
    if (!sample.is_none()) return sample;
  }
}

template <typename S>
StreamStats Guarded<S>::stats() {
  return locked([](S& stream) { return stream.stats(); });
}

template <typename S>
void Guarded<S>::close() {
  locked([](S& stream) { stream.close(); });
}

template class Guarded<WebSocketStream>;
template class Guarded<ReconnectingStream>;

bool Stream::isOpen() {
  return locked([](WebSocketStream& stream) { return stream.isOpen(); });
}

py::object Stream::closeCode() {
  const int code = locked([](WebSocketStream& stream) { return stream.closeCode(); });
  if (code == 0) return py::none();
  return py::int_(code);
}

py::str Stream::closeReason() {
  return lenientText(locked([](WebSocketStream& stream) { return stream.closeReason(); }));
}

bool Stream::sendTorn() {
  return locked([](WebSocketStream& stream) { return stream.sendTorn(); });
}

bool Reconnecting::isConnected() {
  return locked([](ReconnectingStream& stream) { return stream.isConnected(); });
}

void bindStream(py::module_& module) {
  py::class_<StreamStats>(module, "StreamStats", "What a stream has received so far.")
      .def_readonly("frames_received", &StreamStats::framesReceived,
                    "Complete data frames taken, those receive_latest() skipped included.")
      .def_readonly("bytes_received", &StreamStats::bytesReceived, "Their payload bytes.")
      .def_readonly("frames_skipped", &StreamStats::framesSkipped, "Frames receive_latest() dropped for newer ones.")
      .def_property_readonly(
          "last_frame_at",
          [](const StreamStats& s) -> std::optional<double> {
            if (!s.lastFrameAt) return std::nullopt;
            return secondsOf(s.lastFrameAt->time_since_epoch());
          },
          "When the last frame was taken, on the clock of time.monotonic(); None before the first.")
      .def_readonly("reconnections", &StreamStats::reconnections, "ReconnectingStream: connections reopened.")
      .def_property_readonly(
          "time_down", [](const StreamStats& s) { return secondsOf(s.timeDown); },
          "ReconnectingStream: seconds spent without a connection, the current outage included.")
      .def("__repr__", [](const StreamStats& s) {
        return py::str("StreamStats(frames_received={}, bytes_received={}, frames_skipped={}, reconnections={})")
            .format(s.framesReceived, s.bytesReceived, s.framesSkipped, s.reconnections);
      });

  py::class_<Stream> stream(module, "Stream",
                            "One open WebSocket connection to the bridge; a context manager that closes it on exit.\n"
                            "Errors raise StreamError and leave the stream open: the caller decides whether to close "
                            "it.");
  defineStreamMethods(stream);
  stream.def_property_readonly("is_open", &Stream::isOpen, "Whether the stream still owns a connection.")
      .def_property_readonly("close_code", &Stream::closeCode,
                             "The status code of the bridge's close frame (1005: none given); None while the bridge "
                             "has not closed the stream.")
      .def_property_readonly("close_reason", &Stream::closeReason, "The reason of the bridge's close frame, or ''.")
      .def_property_readonly("send_torn", &Stream::sendTorn,
                             "Whether a send_for() gave up halfway through a message, which ends sending.")
      .def("__repr__",
           [](Stream& s) { return std::string("<corvane.Stream ") + (s.isOpen() ? "open" : "closed") + ">"; });
}

}  // namespace corvane::python
