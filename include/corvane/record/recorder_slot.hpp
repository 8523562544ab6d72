#pragma once

// One client recording to a different Recorder from one session to the next.
#include <cstdint>
#include <memory>
#include <optional>

#include "corvane/export.hpp"
#include "corvane/observer.hpp"
#include "corvane/record/step.hpp"

namespace corvane {

class Recorder;
class RecordingObserver;

/// Where a client records, changed at will: put the slot into ClientOptions::observer once, then set() a
/// recorder before each session and clear() after it, so that a long-lived client (its connections kept)
/// writes each episode to its own file. Events that come while no recorder is set are dropped. The slot holds
/// the recorder's observer, not the recorder: closing the recorder stays the caller's task. Thread-safe: a
/// swap may happen while the client's calls are being observed on other threads.
class CORVANE_API RecorderSlot final : public ClientObserver {
 public:
  /// A slot recording nowhere.
  RecorderSlot();
  /// A slot recording to `recorder`.
  explicit RecorderSlot(const Recorder& recorder);
  ~RecorderSlot() override;
  RecorderSlot(const RecorderSlot&) = delete;
  RecorderSlot& operator=(const RecorderSlot&) = delete;

  /// Records from now on to `recorder`.
  void set(const Recorder& recorder);
  /// Records nowhere from now on.
  void clear();
  /// Whether a recorder is set.
  [[nodiscard]] bool recording() const;
  /// Recorder::step on the current recorder: the step's index, or nothing when no recorder is set.
  std::optional<std::uint64_t> step(const StepInput& input);

  void onRestExchange(const RestExchange& exchange) override;
  void onStreamEvent(const StreamEvent& event) override;
  void onFrame(const FrameObservation& frame) override;

 private:
  struct State;
  std::shared_ptr<RecordingObserver> current() const;
  std::unique_ptr<State> state_;
};

}  // namespace corvane
