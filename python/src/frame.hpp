#pragma once

#include <corvane/camera.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.hpp"

namespace corvane::python {

/// corvane.Frame: a capture whose outputs are views of its one reply buffer, shared with every Output and
/// array taken from it.
struct Frame {
  explicit Frame(SharedFrame frame) : frame(std::move(frame)) {}

  SharedFrame frame;
  py::object structure;                                           // the structure as a dict, made when first asked for
  std::optional<std::vector<std::string>> names;                  // the mapping's keys, found when first asked for
  std::optional<std::vector<std::optional<std::string>>> nameOf;  // each output's name, by index
};

/// The captured output `value` is, or views whole (an Output, or a C-contiguous numpy array on all of one
/// Output's bytes, such as frame["rgb"]); nothing otherwise.
std::optional<SharedOutput> sharedOutputOf(py::handle value);

}  // namespace corvane::python
