// corvane's C++ exceptions as the Python classes of corvane._errors, with the same message and fields;
// the JSON library's errors as ValueError and TypeError with its own message.
#include <exception>
#include <stdexcept>

#include <corvane/errors.hpp>
#include <corvane/record/recording_error.hpp>
#include <corvane/response.hpp>
#include <nlohmann/json.hpp>

#include "binding.hpp"
#include "python_error.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

const char* frameErrorKindName(FrameErrorKind kind) {
  switch (kind) {
    case FrameErrorKind::notAFrame:
      return "notAFrame";
    case FrameErrorKind::truncatedManifest:
      return "truncatedManifest";
    case FrameErrorKind::outputOutOfBounds:
      return "outputOutOfBounds";
  }
  return "notAFrame";
}

// Messages carry libcurl's text and URLs.
py::str messageOf(const std::exception& error) { return lenientText(error.what()); }

// Raises corvane.<name>(message, **fields).
void raise(const char* name, const std::exception& error, const py::dict& fields) {
  try {
    const py::object type = py::module_::import("corvane._errors").attr(name);
    const py::object instance = type(messageOf(error), **fields);
    PyErr_SetObject(type.ptr(), instance.ptr());
  } catch (py::error_already_set& failed) {
    failed.restore();  // the class could not be made: report why rather than nothing
  }
}

void setError(PyObject* type, const std::exception& error) {
  try {
    PyErr_SetObject(type, messageOf(error).ptr());
  } catch (py::error_already_set& failed) {
    failed.restore();
  }
}

void translate(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const PythonErrorPending&) {
    if (!restorePythonError()) PyErr_SetString(PyExc_SystemError, "corvane lost a Python exception");
  } catch (const InterruptedError& e) {
    if (!restorePythonError()) raise("InterruptedError", e, py::dict());  // the caller's own hook said stop
  } catch (const HTTPError& e) {
    raise("HTTPError", e, py::dict("status"_a = e.status(), "body"_a = py::bytes(e.body())));
  } catch (const TransportError& e) {
    raise("TransportError", e,
          py::dict("code"_a = e.code(), "kind"_a = toString(e.kind()), "attempts"_a = e.attempts(),
                   "proxy_status"_a = e.proxyStatus()));
  } catch (const HandshakeError& e) {
    raise("HandshakeError", e,
          py::dict("url"_a = e.url(), "code"_a = e.code(), "http_status"_a = e.httpStatus(),
                   "kind"_a = toString(e.kind()), "status"_a = e.status()));
  } catch (const StreamError& e) {
    raise("StreamError", e, py::dict("code"_a = e.code()));
  } catch (const FrameError& e) {
    raise("FrameError", e, py::dict("kind"_a = frameErrorKindName(e.kind())));
  } catch (const SetupError& e) {
    raise("SetupError", e, py::dict("code"_a = e.code()));
  } catch (const RecordingError& e) {
    raise("RecordingError", e, py::dict());
  } catch (const nlohmann::json::type_error& e) {
    setError(PyExc_TypeError, e);
  } catch (const nlohmann::json::exception& e) {
    setError(PyExc_ValueError, e);  // parse errors, missing members, numbers out of range
  }
  // Anything else goes on to pybind11's own translation (std::invalid_argument is ValueError there).
}

}  // namespace

py::str lenientText(std::string_view text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

py::object exceptionObject(std::exception_ptr error) {
  try {
    translate(error);
  } catch (const std::invalid_argument& e) {  // what translate leaves to pybind11
    setError(PyExc_ValueError, e);
  } catch (const std::exception& e) {
    setError(PyExc_RuntimeError, e);
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown exception");
  }
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  py::object instance = py::reinterpret_steal<py::object>(value);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  return instance;
}

void bindErrors(py::module_&) { py::register_exception_translator(&translate); }

}  // namespace corvane::python
