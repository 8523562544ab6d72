#include "stream.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace corvane::python {
namespace {

using std::chrono::milliseconds;

// The longest a receive_for waits without looking at Python's signals: Ctrl-C ends it within this.
constexpr milliseconds kSlice{100};
// "Wait forever" (math.inf) and anything longer: a century, which the steady clock can still add.
constexpr double kLongestSeconds = 100.0 * 365 * 24 * 3600;

py::object payload(std::optional<std::string> frame) {
  if (!frame) return py::none();
  return py::bytes(*frame);
}

}  // namespace

void Stream::send(std::string_view text) {
  locked([&](WebSocketStream& stream) { stream.send(text); });
}

py::object Stream::receive() {
  return payload(locked([](WebSocketStream& stream) { return stream.receive(); }));
}

py::object Stream::receiveFor(double seconds) {
  if (std::isnan(seconds)) throw py::value_error("seconds must be a number, not NaN");
  const auto wait = std::chrono::duration<double>(std::clamp(seconds, 0.0, kLongestSeconds));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::ceil<milliseconds>(wait);
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    const milliseconds slice = std::clamp(left, milliseconds::zero(), kSlice);
    std::optional<std::string> frame = locked([&](WebSocketStream& stream) { return stream.receiveFor(slice); });
    if (frame) return payload(std::move(frame));
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // Ctrl-C: KeyboardInterrupt
    if (left <= slice) return py::none();
  }
}

void Stream::close() {
  locked([](WebSocketStream& stream) { stream.close(); });
}

bool Stream::isOpen() {
  return locked([](WebSocketStream& stream) { return stream.isOpen(); });
}

void bindStream(py::module_& module) {
  using namespace pybind11::literals;
  py::class_<Stream>(module, "Stream",
                     "One open WebSocket connection to the bridge; a context manager that closes it on exit.\n"
                     "Errors raise StreamError and leave the stream open: the caller decides whether to close it.")
      .def("send", &Stream::send, "text"_a, "Sends `text` as one text message, whole.")
      .def("receive", &Stream::receive,
           "The payload of the next complete frame, or None when none is waiting. Never blocks.")
      .def("receive_for", &Stream::receiveFor, "seconds"_a,
           "Like receive(), but waits up to `seconds` (math.inf: no limit) for a frame; None when none came.\n"
           "Ctrl-C ends the wait within 100 ms with KeyboardInterrupt.")
      .def("close", &Stream::close, "Sends a close frame and releases the connection. Does nothing when closed.")
      .def_property_readonly("is_open", &Stream::isOpen, "Whether the stream still owns a connection.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Stream& stream, const py::args&) { stream.close(); })
      .def("__repr__", [](Stream& stream) {
        return std::string("<corvane.Stream ") + (stream.isOpen() ? "open" : "closed") + ">";
      });
}

}  // namespace corvane::python
