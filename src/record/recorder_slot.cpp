// The recorder slot: every event goes to the observer of the recorder set at the moment it comes.
#include "corvane/record/recorder_slot.hpp"

#include <mutex>
#include <utility>

#include "corvane/record/recorder.hpp"

namespace corvane {

struct RecorderSlot::State {
  mutable std::mutex mutex;
  std::shared_ptr<RecordingObserver> current;
};

RecorderSlot::RecorderSlot() : state_(std::make_unique<State>()) {}

RecorderSlot::RecorderSlot(const Recorder& recorder) : RecorderSlot() { set(recorder); }

RecorderSlot::~RecorderSlot() = default;

void RecorderSlot::set(const Recorder& recorder) {
  // Recorder::observer() always makes a RecordingObserver.
  auto observer = std::static_pointer_cast<RecordingObserver>(recorder.observer());
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->current = std::move(observer);
}

void RecorderSlot::clear() {
  std::shared_ptr<RecordingObserver> old;  // released outside the lock
  const std::lock_guard<std::mutex> lock(state_->mutex);
  old.swap(state_->current);
}

std::shared_ptr<RecordingObserver> RecorderSlot::current() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->current;
}

bool RecorderSlot::recording() const { return current() != nullptr; }

std::optional<std::uint64_t> RecorderSlot::step(const StepInput& input) {
  if (const auto observer = current()) return observer->step(input);
  return std::nullopt;
}

void RecorderSlot::onRestExchange(const RestExchange& exchange) {
  if (const auto observer = current()) observer->onRestExchange(exchange);
}

void RecorderSlot::onStreamEvent(const StreamEvent& event) {
  if (const auto observer = current()) observer->onStreamEvent(event);
}

void RecorderSlot::onFrame(const FrameObservation& frame) {
  if (const auto observer = current()) observer->onFrame(frame);
}

}  // namespace corvane
