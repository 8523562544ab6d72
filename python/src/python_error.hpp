#pragma once

// Python code that the library calls back (the interruption hook, the reconnecting stream's callbacks) runs
// with the GIL taken for it, and a Python exception it raises crosses the library as a C++ exception: it
// waits in a slot of the calling thread until the binding's exception translator raises it again.
#include <exception>
#include <functional>
#include <memory>

#include "binding.hpp"

namespace corvane::python {

/// Thrown through the library in place of the Python exception kept by keepPythonError().
struct PythonErrorPending : std::exception {
  const char* what() const noexcept override { return "a Python exception is pending"; }
};

/// Moves the Python exception that is set into this thread's slot (GIL held).
void keepPythonError();
/// Raises the kept exception again and empties the slot; false when the slot is empty (GIL held).
bool restorePythonError();

/// A Python callable that C++ copies of a std::function may share with the GIL released: copying and
/// destroying them never touch Python, and the last owner takes the GIL to let go of it.
using SharedCallable = std::shared_ptr<const py::object>;
SharedCallable shareCallable(py::object callable);

/// Notes the main thread, the only one where Python runs signal handlers (at import).
void noteMainThread();

/// The client's interruption hook: on the main thread it runs Python's signal handlers (Ctrl-C raises
/// KeyboardInterrupt there), then asks `user` (None: nobody). Either one's exception is kept and stops the
/// call; so does a true answer of `user`, which the caller sees as corvane.InterruptedError.
std::function<bool()> interruptHook(const py::object& user);

/// A C++ callback that calls `callable` (None: an empty function) with the event, under the GIL.
template <typename Event>
std::function<void(const Event&)> pythonCallback(const py::object& callable) {
  if (callable.is_none()) return {};
  return [shared = shareCallable(callable)](const Event& event) {
    py::gil_scoped_acquire gil;
    try {
      (*shared)(event);
    } catch (py::error_already_set& error) {
      error.restore();
      keepPythonError();
      throw PythonErrorPending();
    }
  };
}

}  // namespace corvane::python
