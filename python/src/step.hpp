#pragma once

// recorder.step for corvane.Recorder and RecorderSlot: see step.cpp.
#include <cstdint>
#include <functional>
#include <optional>

#include "binding.hpp"

namespace corvane {
class Recorder;
struct StepInput;
}  // namespace corvane

namespace corvane::python {

/// Where a step goes: a recorder's or a slot's step, giving the step's index (nothing: not recorded).
using StepSink = std::function<std::optional<std::uint64_t>(const StepInput&)>;

/// Records a step from Python values through `record`, the GIL released; returns its index or None.
py::object recordStep(const StepSink& record, const py::object& observation, const py::object& action,
                      std::optional<double> reward, std::optional<bool> done, std::optional<double> time);
/// Adds Recorder.step.
void bindStep(py::class_<Recorder>& recorder);

}  // namespace corvane::python
