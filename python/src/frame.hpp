#pragma once

#include <corvane/camera.hpp>

#include <memory>
#include <utility>

#include "binding.hpp"

namespace corvane::python {

/// corvane.Frame: a decoded capture, shared with every Output taken from it.
struct Frame {
  explicit Frame(CameraFrame frame) : frame(std::make_shared<const CameraFrame>(std::move(frame))) {}

  std::shared_ptr<const CameraFrame> frame;
  py::object structure;  // the structure as a dict, made when first asked for
};

}  // namespace corvane::python
