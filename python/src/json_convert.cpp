#include "json_convert.hpp"

#include <cstdint>
#include <string>

#include "binding.hpp"
#include "text_arg.hpp"

namespace corvane::python {
namespace {

// Nested values recurse: Python's own limit turns a too deep (or self-containing) value into RecursionError
// instead of a C stack overflow.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

std::string typeName(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

nlohmann::json integer(py::handle value) {
  int overflow = 0;
  const long long signedValue = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow == 0) {
    if (signedValue == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    return static_cast<std::int64_t>(signedValue);
  }
  if (overflow > 0) {
    const unsigned long long unsignedValue = PyLong_AsUnsignedLongLong(value.ptr());
    if (!(unsignedValue == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)) {
      return static_cast<std::uint64_t>(unsignedValue);
    }
    PyErr_Clear();
  }
  throw py::type_error("int " + std::string(py::str(value)) +
                       " does not fit in a JSON number here (from -2**63 to 2**64 - 1)");
}

std::string utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);  // a lone surrogate raises UnicodeEncodeError
  if (bytes == nullptr) throw py::error_already_set();
  return std::string(bytes, static_cast<std::size_t>(size));
}

nlohmann::json object(py::handle value) {
  nlohmann::json result = nlohmann::json::object();
  // A snapshot of the pairs, each held: __index__ of a member may change the dict while it is converted.
  const auto entries = py::reinterpret_steal<py::list>(PyDict_Items(value.ptr()));
  if (!entries) throw py::error_already_set();
  for (const py::handle entry : entries) {
    const py::handle key = PyTuple_GET_ITEM(entry.ptr(), 0);
    if (!PyUnicode_Check(key.ptr())) throw py::type_error("JSON object keys must be str, not " + typeName(key));
    std::string name = utf8(key);
    result[std::move(name)] = toJson(PyTuple_GET_ITEM(entry.ptr(), 1));
  }
  return result;
}

nlohmann::json array(py::handle value) {
  nlohmann::json result = nlohmann::json::array();
  // Items are taken one at a time with a reference held: __index__ of an item may change the list.
  const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
  for (std::size_t i = 0; i < items.size(); ++i) result.push_back(toJson(items[i]));
  return result;
}

py::object text(const std::string& value) {
  PyObject* decoded = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "strict");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(decoded);
}

}  // namespace

nlohmann::json toJson(py::handle value) {
  const RecursionGuard guard(" while converting a value to JSON");
  PyObject* raw = value.ptr();
  if (value.is_none() || py::isinstance<JsonNull>(value)) return nullptr;
  if (PyBool_Check(raw)) return raw == Py_True;
  if (PyLong_Check(raw)) return integer(value);
  if (PyFloat_Check(raw)) return PyFloat_AS_DOUBLE(raw);
  if (PyUnicode_Check(raw)) return utf8(value);
  if (PyDict_Check(raw)) return object(value);
  if (PyList_Check(raw) || PyTuple_Check(raw)) return array(value);
  if (PyIndex_Check(raw)) {
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(raw));
    if (!index) throw py::error_already_set();
    return integer(index);
  }
  throw py::type_error("Object of type " + typeName(value) + " is not JSON serializable");
}

std::string requestBody(py::handle body, const char* name) {
  std::string text;
  if (loadText(body, name, text)) return text;
  if (PyDict_Check(body.ptr()) || PyList_Check(body.ptr()))
    return toJson(body).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  throw py::type_error(std::string(name) + " must be str, bytes, dict or list, not " + typeName(body));
}

py::object toPython(const nlohmann::json& value) {
  const RecursionGuard guard(" while converting JSON to a Python value");
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::null:
    case Type::discarded:
      return py::none();
    case Type::boolean:
      return py::bool_(value.get<bool>());
    case Type::number_integer:
      return py::reinterpret_steal<py::object>(PyLong_FromLongLong(value.get<std::int64_t>()));
    case Type::number_unsigned:
      return py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
    case Type::number_float:
      return py::float_(value.get<double>());
    case Type::string:
      return text(value.get_ref<const std::string&>());
    case Type::binary: {
      const auto& bytes = value.get_binary();
      return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Type::array: {
      py::list list(value.size());
      for (std::size_t i = 0; i < value.size(); ++i) list[i] = toPython(value[i]);
      return list;
    }
    case Type::object: {
      py::dict dict;
      for (const auto& [key, member] : value.items()) dict[text(key)] = toPython(member);
      return dict;
    }
  }
  return py::none();
}

void bindJson(py::module_& module) {
  py::class_<JsonNull>(module, "_JsonNull", "The type of corvane.JSON_NULL.")
      .def("__repr__", [](const JsonNull&) { return "corvane.JSON_NULL"; })
      .def("__bool__", [](const JsonNull&) { return false; });
  module.attr("JSON_NULL") = JsonNull{};
}

}  // namespace corvane::python
