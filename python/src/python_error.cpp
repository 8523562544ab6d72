#include "python_error.hpp"

#include <pythread.h>

#include <atomic>

namespace corvane::python {
namespace {

// The pending exception of this thread. Raw references: a slot still holding one when its thread ends
// leaks it rather than taking the GIL at thread exit.
struct Slot {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* trace = nullptr;
};
thread_local Slot slot;

std::atomic<unsigned long> mainThread{0};

bool onMainThread() { return PyThread_get_thread_ident() == mainThread.load(std::memory_order_relaxed); }

}  // namespace

void keepPythonError() {
  Py_XDECREF(slot.type);  // a stale one (never translated) gives way to the newer
  Py_XDECREF(slot.value);
  Py_XDECREF(slot.trace);
  PyErr_Fetch(&slot.type, &slot.value, &slot.trace);
}

bool restorePythonError() {
  if (slot.type == nullptr) return false;
  PyErr_Restore(slot.type, slot.value, slot.trace);
  slot = Slot{};
  return true;
}

SharedCallable shareCallable(py::object callable) {
  if (callable.is_none()) return nullptr;
  return SharedCallable(new py::object(std::move(callable)), [](py::object* held) {
    py::gil_scoped_acquire gil;
    delete held;
  });
}

void noteMainThread() {
  mainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

bool InterruptHook::operator()() const {
  if (flag && flag->load(std::memory_order_relaxed)) return true;
  if (!user && !onMainThread()) return false;  // nothing to ask: no GIL needed
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) {
    keepPythonError();
    return true;
  }
  const py::object callable = user ? *user : py::object();  // held for the call (see SharedCallable)
  if (!callable) return false;
  try {
    return py::bool_(callable());
  } catch (py::error_already_set& error) {
    error.restore();
    keepPythonError();
    return true;
  }
}

std::function<bool()> interruptHook(const py::object& user, StopFlag flag) {
  // always a hook: Ctrl-C ends retry series and batches
  return InterruptHook{shareCallable(user), std::move(flag)};
}

py::object interruptCallable(const std::function<bool()>& hook) {
  const auto* held = hook.target<InterruptHook>();
  if (held == nullptr || !held->user || !*held->user) return py::none();
  return *held->user;
}

}  // namespace corvane::python
