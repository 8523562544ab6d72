#pragma once

// What the reading side of the binding shares: message bytes read in place, and the step cursor.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding.hpp"
#include "corvane/record/channel_options.hpp"

namespace corvane {
class RecordingReader;
}

namespace corvane::python {

/// A message's bytes (a buffer: memoryview, numpy.frombuffer); the chunk they sit in lives as long as this does.
struct MessageBytes {
  std::shared_ptr<const std::string> storage;
  std::string_view data;
};

/// "h264", "av1", "jpeg", "png" or "none"; ValueError for anything else.
VideoFormat videoFormatOf(const std::string& name);
/// A static transform from Python's arguments: 3 translation numbers, 4 rotation numbers (x, y, z, w).
FrameTransform frameTransformOf(const std::string& child, const std::vector<double>& translation,
                                const std::vector<double>& rotation, const std::string& parent);
/// The set_static_transform method's docstring, shared by Recorder and LiveServer.
extern const char* const kStaticTransformDoc;

/// Binds set_static_transform(child_frame, translation, rotation, parent_frame) to a class with
/// setStaticTransform (Recorder, LiveServer), the GIL released while it runs.
template <typename T>
void bindStaticTransform(py::class_<T>& cls, const char* doc) {
  cls.def(
      "set_static_transform",
      [](T& self, const std::string& child, const std::vector<double>& translation, const std::vector<double>& rotation,
         const std::string& parent) {
        const FrameTransform t = frameTransformOf(child, translation, rotation, parent);
        released([&] { self.setStaticTransform(t); });
      },
      py::arg("child_frame"), py::arg("translation") = std::vector<double>{0, 0, 0},
      py::arg("rotation") = std::vector<double>{0, 0, 0, 1}, py::arg("parent_frame") = "world", doc);
}

/// A cursor over the reader's steps, for corvane.recording.
py::object stepsOf(std::shared_ptr<RecordingReader> reader);
void bindSteps(py::module_& module);

}  // namespace corvane::python
