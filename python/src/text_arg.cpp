#include "text_arg.hpp"

namespace corvane::python {
namespace {

Py_ssize_t firstSurrogate(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GetLength(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(text, i);
    if (c >= 0xD800 && c <= 0xDFFF) return i;
  }
  return -1;
}

}  // namespace

std::string utf8Argument(py::handle text, const char* name) {
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (bytes != nullptr) return std::string(bytes, static_cast<std::size_t>(size));
  PyErr_Clear();
  throw py::value_error(std::string(name) + " holds a lone surrogate at index " +
                        std::to_string(firstSurrogate(text.ptr())) + ": only valid Unicode text can be sent");
}

bool loadText(py::handle source, const char* name, std::string& out) {
  if (PyUnicode_Check(source.ptr())) {
    out = utf8Argument(source, name);
    return true;
  }
  if (PyBytes_Check(source.ptr())) {
    out.assign(PyBytes_AS_STRING(source.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(source.ptr())));
    return true;
  }
  return false;
}

}  // namespace corvane::python
