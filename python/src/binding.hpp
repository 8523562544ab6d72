#pragma once

// What the binding's parts share: their registration functions and the helper that runs C++ calls
// without the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <exception>
#include <memory>
#include <string_view>
#include <utility>

namespace corvane {
class ClientObserver;
}

namespace corvane::python {

namespace py = pybind11;

void bindErrors(py::module_& module);
void bindJson(py::module_& module);
void bindResponse(py::module_& module);
void bindStream(py::module_& module);
void bindFrame(py::module_& module);
void bindFamilies(py::module_& module);
void bindReconnecting(py::module_& module);
void bindBatch(py::module_& module);
void bindRetryPolicy(py::module_& module);
void bindClient(py::module_& module);
void bindRecording(py::module_& module);
void bindLive(py::module_& module);
void bindMedia(py::module_& module);
void bindVideoFile(py::module_& module);

/// The C++ observer of a corvane.Recorder, RecorderSlot or LiveServer, or of a list of them composed (for
/// Client(..., recorder=...)).
std::shared_ptr<ClientObserver> observerOf(const py::object& recorder);
/// The observer of a corvane.LiveServer; null when `server` is not one.
std::shared_ptr<ClientObserver> liveObserverOf(const py::object& server);

/// Seconds (a float) as the library's milliseconds, rounded up so that a positive duration stays positive;
/// zero and negative values go through unchanged for the library to refuse with its own message. `name` is
/// the argument's, for the ValueError that a NaN or an infinity raises.
std::chrono::milliseconds millisecondsOf(double seconds, const char* name);
/// A duration as seconds, for Python.
template <typename Rep, typename Period>
double secondsOf(std::chrono::duration<Rep, Period> duration) {
  return std::chrono::duration<double>(duration).count();
}
/// Text from the bridge or libcurl (a message, a close reason), decoded leniently: an odd byte cannot hide it.
py::str lenientText(std::string_view text);
/// The Python exception that a C++ exception becomes, as an object (for results that carry one).
py::object exceptionObject(std::exception_ptr error);

/// Runs `call` with the GIL released, so other Python threads go on during network waits and retry pauses.
/// `call` must touch no Python object; what it returns is converted after the GIL is back.
template <typename Call>
decltype(auto) released(Call&& call) {
  py::gil_scoped_release release;
  return std::forward<Call>(call)();
}

}  // namespace corvane::python
