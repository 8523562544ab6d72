#pragma once

// recorder.step for corvane.Recorder and RecorderSlot: see step.cpp.
#include <optional>

#include "binding.hpp"

namespace corvane {
class Recorder;
class RecordingObserver;
}  // namespace corvane

namespace corvane::python {

/// Records a step through a recorder's observer from Python values; returns its index.
py::object recordStep(RecordingObserver& recorder, const py::object& observation, const py::object& action,
                      std::optional<double> reward, std::optional<bool> done, std::optional<double> time);
/// Adds Recorder.step.
void bindStep(py::class_<Recorder>& recorder);

}  // namespace corvane::python
