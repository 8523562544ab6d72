#pragma once

// The media bindings' one way of calling into src/media: off the GIL, its errors as ValueError.
#include <utility>

#include "binding.hpp"
#include "media/media.hpp"

namespace corvane::python {

template <typename Call>
auto mediaCall(Call&& call) {
  try {
    return released(std::forward<Call>(call));
  } catch (const media::MediaError& error) {
    throw py::value_error(error.what());
  }
}

}  // namespace corvane::python
