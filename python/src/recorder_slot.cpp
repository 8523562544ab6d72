// corvane.RecorderSlot: one client recording to a different Recorder from one session to the next, so that a
// long-lived client (its connections kept) writes each episode to its own file.
#include "recorder_slot.hpp"

#include "step.hpp"

#include <corvane/observer.hpp>
#include <corvane/record/recorder.hpp>

#include <mutex>
#include <utility>

namespace corvane::python {
namespace {

// Forwards every event to the current recorder's observer; none set, events are dropped.
class RecorderSlot final : public ClientObserver {
 public:
  void set(std::shared_ptr<ClientObserver> observer) {
    const std::lock_guard lock(mutex_);
    current_ = std::move(observer);
  }
  std::shared_ptr<ClientObserver> current() const {
    const std::lock_guard lock(mutex_);
    return current_;
  }
  bool empty() const {
    const std::lock_guard lock(mutex_);
    return current_ == nullptr;
  }
  void onRestExchange(const RestExchange& exchange) override {
    if (const auto observer = current()) observer->onRestExchange(exchange);
  }
  void onStreamEvent(const StreamEvent& event) override {
    if (const auto observer = current()) observer->onStreamEvent(event);
  }
  void onFrame(const FrameObservation& frame) override {
    if (const auto observer = current()) observer->onFrame(frame);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<ClientObserver> current_;
};

void setRecorder(RecorderSlot& slot, const py::object& recorder) {
  if (recorder.is_none()) return slot.set(nullptr);
  if (!py::isinstance<Recorder>(recorder)) throw py::type_error("a RecorderSlot holds a corvane.Recorder or None");
  slot.set(recorder.cast<Recorder&>().observer());
}

py::object stepSlot(const RecorderSlot& slot, const py::object& observation, const py::object& action,
                    std::optional<double> reward, std::optional<bool> done, std::optional<double> time) {
  const auto recorder = std::dynamic_pointer_cast<RecordingObserver>(slot.current());
  if (!recorder) return py::none();
  return recordStep(*recorder, observation, action, reward, done, time);
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
      .def_property_readonly(
          "recording", [](const RecorderSlot& slot) { return !slot.empty(); }, "Whether a recorder is set.");
}

}  // namespace corvane::python
