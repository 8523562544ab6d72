#pragma once

// Python code that the library calls back (the interruption hook, the reconnecting stream's callbacks) runs
// with the GIL taken for it, and a Python exception it raises crosses the library as a C++ exception: it
// waits in a slot of the calling thread until the binding's exception translator raises it again.
#include <atomic>
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
/// destroying them never touch Python, and the last owner takes the GIL to let go of it. The Python object
/// that handed it over reports it to the garbage collector and empties it when the collector breaks a
/// cycle (see collectable.hpp); an emptied callable is not called any more.
using SharedCallable = std::shared_ptr<py::object>;
SharedCallable shareCallable(py::object callable);

/// Set from any thread to stop the calls of the clients whose hook watches it (asyncio's cancellation).
using StopFlag = std::shared_ptr<std::atomic<bool>>;

/// The client's interruption hook: on the main thread it runs Python's signal handlers (Ctrl-C raises
/// KeyboardInterrupt there), then looks at `flag` (null: none), then asks `user` (null: nobody). Either
/// one's exception is kept and stops the call; so does a raised flag or a true answer of `user`, which the
/// caller sees as corvane.InterruptedError.
struct InterruptHook {
  SharedCallable user;
  StopFlag flag;
  bool operator()() const;
};

/// Notes the main thread, the only one where Python runs signal handlers (at import).
void noteMainThread();

/// An InterruptHook asking `user` (None: nobody), watching `flag`.
std::function<bool()> interruptHook(const py::object& user, StopFlag flag = nullptr);
/// The user's callable of a client's hook (None when it has none or the collector emptied it).
py::object interruptCallable(const std::function<bool()>& hook);

/// A C++ callback that calls `shared` (null: an empty function) with the event, under the GIL.
template <typename Event>
std::function<void(const Event&)> pythonCallback(const SharedCallable& shared) {
  if (!shared) return {};
  return [shared](const Event& event) {
    py::gil_scoped_acquire gil;
    const py::object callable = *shared;  // held for the call: the collector may empty the shared one
    if (!callable) return;
    try {
      callable(event);
    } catch (py::error_already_set& error) {
      error.restore();
      keepPythonError();
      throw PythonErrorPending();
    }
  };
}

}  // namespace corvane::python
