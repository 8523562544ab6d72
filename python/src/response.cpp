// corvane.Response: one HTTP exchange. The body becomes bytes, and the headers a dict, once, when first read.
#include "response.hpp"

#include <cctype>
#include <string>

#include "json_convert.hpp"
#include "text_arg.hpp"

namespace corvane::python {
namespace {

// Header bytes as text the way Python's http.client reads them: Latin-1, which takes any byte.
py::str latin1(const std::string& bytes) {
  PyObject* decoded = PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// The charset parameter of a Content-Type value ("" when none): "text/plain; charset=ISO-8859-1".
std::string charsetOf(const std::string* contentType) {
  if (contentType == nullptr) return {};
  std::string lowered(*contentType);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto at = lowered.find("charset=");
  if (at == std::string::npos) return {};
  std::string value = contentType->substr(at + 8);
  value = value.substr(0, value.find_first_of("; \t"));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  return value;
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

bool Response::ok() const noexcept { return response_.status >= 200 && response_.status <= 299; }

py::str Response::text() const {
  const std::string& bytes = response_.body;
  const auto size = static_cast<Py_ssize_t>(bytes.size());
  const std::string charset = charsetOf(response_.header("Content-Type"));
  PyObject* decoded = PyUnicode_Decode(bytes.data(), size, charset.empty() ? "utf-8" : charset.c_str(), "replace");
  if (decoded == nullptr) {  // an unknown charset (LookupError): UTF-8
    PyErr_Clear();
    decoded = PyUnicode_DecodeUTF8(bytes.data(), size, "replace");
  }
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

void Response::raiseForStatus() const {
  if (!ok()) throw HTTPError(response_.status, response_.body);
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
      .def(
          "header", [](const Response& r, const Text<kName>& name) { return r.header(name); }, "name"_a,
          "The value of header `name` compared ignoring ASCII case, or None.")
      .def("json", &Response::json, "The body parsed as one JSON document (ValueError when it is not one).")
      .def_property_readonly("ok", &Response::ok, "Whether the status is a success (200..299).")
      .def_property_readonly("text", &Response::text,
                             "The body as text: decoded as the Content-Type's charset says (UTF-8 when it says\n"
                             "nothing or names an unknown one), undecodable bytes replaced by U+FFFD.")
      .def("raise_for_status", &Response::raiseForStatus,
           "Raises HTTPError (status, body, the bridge's reason) unless ok; returns None otherwise.")
      .def("__repr__", [](const Response& response) {
        return "<corvane.Response status " + std::to_string(response.status()) + ">";
      });
}

}  // namespace corvane::python
