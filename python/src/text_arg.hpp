#pragma once

// Text arguments. A str goes to the bridge as UTF-8; one that cannot be encoded (a lone surrogate, as
// os.fsdecode makes of an odd byte) raises ValueError naming the argument, where pybind11's own string
// conversion would raise TypeError "incompatible function arguments". bytes are taken as they are.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding.hpp"

namespace corvane::python {

/// A text argument called `Name`.
template <const char* Name>
struct Text {
  std::string value;
  operator std::string_view() const noexcept { return value; }  // NOLINT(google-explicit-constructor)
};

/// A list of texts (any sequence but a str or bytes) called `Name`.
template <const char* Name>
struct Texts {
  std::vector<std::string> values;
};

/// Texts, or one str (or bytes) taken as a list of it: data_types="rgb" means ["rgb"].
template <const char* Name>
struct TextOrTexts : Texts<Name> {};

/// The UTF-8 of a str argument; ValueError naming `name` when it holds a lone surrogate.
std::string utf8Argument(py::handle text, const char* name);
/// Loads a str or bytes into `out`; false for another type.
bool loadText(py::handle source, const char* name, std::string& out);

template <const char* Name>
std::optional<std::string_view> viewOf(const std::optional<Text<Name>>& text) {
  if (!text) return std::nullopt;
  return std::string_view(text->value);
}

template <const char* Name>
std::optional<std::vector<std::string>> valuesOf(std::optional<Texts<Name>> texts) {
  if (!texts) return std::nullopt;
  return std::move(texts->values);
}

// The argument names.
inline constexpr char kPath[] = "path";
inline constexpr char kPrimPath[] = "prim_path";
inline constexpr char kPrimPaths[] = "prim_paths";
inline constexpr char kUrdfPath[] = "urdf_path";
inline constexpr char kJointNames[] = "joint_names";
inline constexpr char kJointPaths[] = "joint_paths";
inline constexpr char kGripperId[] = "gripper_id";
inline constexpr char kArmMountLink[] = "arm_mount_link";
inline constexpr char kGripperMountLink[] = "gripper_mount_link";
inline constexpr char kForwardAxis[] = "forward_axis";
inline constexpr char kDataTypes[] = "data_types";
inline constexpr char kText[] = "text";
inline constexpr char kKind[] = "kind";
inline constexpr char kOpeningMessages[] = "opening_messages";
inline constexpr char kLabel[] = "label";
inline constexpr char kBaseUrl[] = "base_url";
inline constexpr char kWebsocketBaseUrl[] = "websocket_base_url";
inline constexpr char kProxy[] = "proxy";
inline constexpr char kName[] = "name";

}  // namespace corvane::python

namespace pybind11::detail {

template <const char* Name>
struct type_caster<corvane::python::Text<Name>> {
  PYBIND11_TYPE_CASTER(corvane::python::Text<Name>, const_name("str"));
  bool load(handle source, bool) { return corvane::python::loadText(source, Name, value.value); }
};

template <const char* Name>
struct type_caster<corvane::python::Texts<Name>> {
  PYBIND11_TYPE_CASTER(corvane::python::Texts<Name>, const_name("List[str]"));
  bool load(handle source, bool) {
    if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr()) || !PySequence_Check(source.ptr())) return false;
    const auto items = reinterpret_borrow<sequence>(source);
    std::vector<std::string> values(items.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!corvane::python::loadText(items[i], Name, values[i])) return false;
    }
    value.values = std::move(values);
    return true;
  }
};

template <const char* Name>
struct type_caster<corvane::python::TextOrTexts<Name>> {
  PYBIND11_TYPE_CASTER(corvane::python::TextOrTexts<Name>, const_name("Union[str, List[str]]"));
  bool load(handle source, bool convert) {
    if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr())) {
      value.values.resize(1);
      return corvane::python::loadText(source, Name, value.values[0]);
    }
    make_caster<corvane::python::Texts<Name>> many;
    if (!many.load(source, convert)) return false;
    value.values = std::move(cast_op<corvane::python::Texts<Name>&>(many).values);
    return true;
  }
};

}  // namespace pybind11::detail
