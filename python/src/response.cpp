// corvane.Response: one HTTP exchange. The body becomes bytes, and the headers a dict, once, when first read.
#include "response.hpp"

#include "json_convert.hpp"

namespace corvane::python {
namespace {

// Header bytes as text the way Python's http.client reads them: Latin-1, which takes any byte.
py::str latin1(const std::string& bytes) {
  PyObject* decoded = PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

}  // namespace

py::bytes Response::body() {
  if (!body_) body_ = py::bytes(response_.body);
  return body_;
}

py::dict Response::headers() {
  if (!headers_) {
    py::dict headers;
    for (const auto& [name, value] : response_.headers) headers[latin1(name)] = latin1(value);
    headers_ = std::move(headers);
  }
  return headers_;
}

py::object Response::header(std::string_view name) const {
  const std::string* value = response_.header(name);
  if (value == nullptr) return py::none();
  return latin1(*value);
}

void bindResponse(py::module_& module) {
  using namespace pybind11::literals;
  py::class_<Response>(module, "Response", "The outcome of one HTTP exchange with the bridge, whatever its status.")
      .def_property_readonly("status", &Response::status, "The HTTP status.")
      .def_property_readonly("body", &Response::body, "The raw body.")
      .def_property_readonly("headers", &Response::headers,
                             "The headers as received (name -> value; the last repeated line wins).")
      .def("header", &Response::header, "name"_a, "The value of header `name` compared ignoring ASCII case, or None.")
      .def("json", &Response::json, "The body parsed as one JSON document (ValueError when it is not one).")
      .def("__repr__", [](const Response& response) {
        return "<corvane.Response status " + std::to_string(response.status()) + ">";
      });
}

}  // namespace corvane::python
