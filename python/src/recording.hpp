#pragma once

// What the reading side of the binding shares: message bytes read in place, and the step cursor.
#include <memory>
#include <string>
#include <string_view>

#include "binding.hpp"

namespace corvane {
class RecordingReader;
}

namespace corvane::python {

/// A message's bytes (a buffer: memoryview, numpy.frombuffer); the chunk they sit in lives as long as this does.
struct MessageBytes {
  std::shared_ptr<const std::string> storage;
  std::string_view data;
};

/// A cursor over the reader's steps, for corvane.recording.
py::object stepsOf(std::shared_ptr<RecordingReader> reader);
void bindSteps(py::module_& module);

}  // namespace corvane::python
