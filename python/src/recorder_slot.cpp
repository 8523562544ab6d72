// corvane.RecorderSlot: the library's RecorderSlot, holding a corvane.Recorder or None.
#include "recorder_slot.hpp"

#include "step.hpp"

#include <corvane/observer.hpp>
#include <corvane/record/recorder.hpp>
#include <corvane/record/recorder_slot.hpp>

namespace corvane::python {
namespace {

void setRecorder(RecorderSlot& slot, const py::object& recorder) {
  if (recorder.is_none()) return slot.clear();
  if (!py::isinstance<Recorder>(recorder)) throw py::type_error("a RecorderSlot holds a corvane.Recorder or None");
  slot.set(recorder.cast<const Recorder&>());
}

py::object stepSlot(RecorderSlot& slot, const py::object& observation, const py::object& action,
                    std::optional<double> reward, std::optional<bool> done, std::optional<double> time) {
  return recordStep([&slot](const StepInput& input) { return slot.step(input); }, observation, action, reward, done,
                    time);
}

}  // namespace

std::shared_ptr<ClientObserver> slotObserverOf(const py::object& slot) {
  if (!py::isinstance<RecorderSlot>(slot)) return nullptr;
  return slot.cast<std::shared_ptr<RecorderSlot>>();
}

void bindRecorderSlot(py::module_& module) {
  using pybind11::literals::operator""_a;
  py::class_<RecorderSlot, std::shared_ptr<RecorderSlot>>(
      module, "RecorderSlot",
      "Where a client records, changed at will: Client(..., recorder=slot), then slot.set(recorder) before a\n"
      "session and slot.set(None) after it. The client keeps its connections from one recording to the next.")
      .def(py::init([](const py::object& recorder) {
             auto slot = std::make_shared<RecorderSlot>();
             setRecorder(*slot, recorder);
             return slot;
           }),
           "recorder"_a = py::none(), "A slot recording to `recorder` (a corvane.Recorder), or nowhere (None).")
      .def("set", &setRecorder, "recorder"_a, "Records from now on to `recorder` (a corvane.Recorder), or nowhere.")
      .def("step", &stepSlot, "observation"_a, "action"_a = py::none(), py::kw_only(), "reward"_a = py::none(),
           "done"_a = py::none(), "time"_a = py::none(),
           "Recorder.step on the current recorder: the step's index, or None when no recorder is set.")
      .def_property_readonly("recording", &RecorderSlot::recording, "Whether a recorder is set.");
}

}  // namespace corvane::python
