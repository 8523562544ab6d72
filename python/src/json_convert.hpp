#pragma once

// JSON values to and from Python values, and the pybind11 type caster that applies them to every
// nlohmann::json argument and result of the binding.
#include <string>

#include <nlohmann/json.hpp>

#include "binding.hpp"

namespace corvane::python {

/// The value of corvane.JSON_NULL: an explicit null where None means "leave the option out".
struct JsonNull {};

/// None (and JSON_NULL), bool, int (64-bit signed or unsigned), float, str, list and tuple, dict with str
/// keys, and objects with __index__ (numpy integers). Anything else raises TypeError, before any request.
nlohmann::json toJson(pybind11::handle value);

/// A request body: a str (as UTF-8; ValueError naming `name` when it holds a lone surrogate) or bytes as
/// they are, a dict or list as the families send theirs (compact JSON, keys sorted, non-ASCII as UTF-8).
/// Anything else raises TypeError.
std::string requestBody(pybind11::handle body, const char* name);

/// null as None, numbers as int or float, strings as str, arrays as list, objects as dict.
pybind11::object toPython(const nlohmann::json& value);

}  // namespace corvane::python

namespace pybind11::detail {

template <>
struct type_caster<nlohmann::json> {
  PYBIND11_TYPE_CASTER(nlohmann::json, const_name("Any"));

  // A value JSON cannot hold raises TypeError here rather than trying another overload: the binding
  // has one signature per operation.
  bool load(handle source, bool) {
    value = corvane::python::toJson(source);
    return true;
  }

  static handle cast(const nlohmann::json& source, return_value_policy, handle) {
    return corvane::python::toPython(source).release();
  }
};

}  // namespace pybind11::detail
