#include "client/observation.hpp"

#include <algorithm>

#include "client/time_limit.hpp"

namespace corvane {

ClientObserver::~ClientObserver() = default;
void ClientObserver::onRestExchange(const RestExchange& /*exchange*/) {}
void ClientObserver::onStreamEvent(const StreamEvent& /*event*/) {}
void ClientObserver::onFrame(const FrameObservation& /*frame*/) {}

namespace {
thread_local const ObservedCall* currentCall = nullptr;
}  // namespace

ObservedCall ObservedCall::current() { return currentCall != nullptr ? *currentCall : ObservedCall{}; }

namespace detail {

ObservedCallScope::ObservedCallScope(const ObservedCall& call) noexcept : previous_(currentCall) {
  currentCall = &call;
}
ObservedCallScope::~ObservedCallScope() { currentCall = previous_; }

ObservedCall observedCall(const ClientOptions& options, ObservedTime start) {
  ObservedCall call{std::nullopt, &options.interrupted};
  if (options.deadline) {
    const auto elapsed = std::chrono::system_clock::now() - start;
    call.deadline = std::chrono::steady_clock::now() - std::max(elapsed, decltype(elapsed)::zero()) +
                    std::min(*options.deadline, kLongest);
  }
  return call;
}

void notifyStream(const StreamObservation& observation, StreamEventKind kind, std::string_view message) {
  const ObservedCall call{std::nullopt, &observation.interrupted};
  const ObservedCallScope scope(call);
  observation.observer->onStreamEvent({kind, observation.url, message, std::chrono::system_clock::now()});
}

namespace {

// Names each output after the result tree's top-level member that refers to it, then tells the observer.
void tellFrame(const ClientOptions& options, FrameObservation& observed) {
  const nlohmann::json& structure = *observed.structure;
  if (structure.is_object()) {
    for (const auto& [name, value] : structure.items()) {
      const auto index = value.is_object() ? value.find("__ndarray__") : value.end();
      if (index == value.end() || !index->is_number_unsigned()) continue;
      const auto i = index->get<std::size_t>();
      if (i < observed.outputs.size()) observed.outputs[i].name = name;
    }
  }
  const ObservedCall call = observedCall(options, observed.start);
  const ObservedCallScope scope(call);
  options.observer->onFrame(observed);
}

}  // namespace

void notifyFrame(const ClientOptions& options, std::string_view cameraPrim, const CameraFrame& frame,
                 ObservedTime start, ObservedTime end) {
  FrameObservation observed{cameraPrim, &frame.structure, {}, start, end};
  observed.outputs.reserve(frame.outputs.size());
  for (const CameraOutput& output : frame.outputs) {
    observed.outputs.push_back({{}, &output.shape, output.dtype, output.data.data(), output.data.size()});
  }
  tellFrame(options, observed);
}

void notifyFrame(const ClientOptions& options, std::string_view cameraPrim, const SharedFrame& frame,
                 ObservedTime start, ObservedTime end) {
  FrameObservation observed{cameraPrim, &frame.structure(), {}, start, end};
  observed.outputs.reserve(frame.outputs().size());
  for (const SharedOutput& output : frame.outputs()) {
    observed.outputs.push_back({{}, &output.shape, output.dtype, output.data(), output.nbytes(), output.bytes()});
  }
  tellFrame(options, observed);
}

}  // namespace detail
}  // namespace corvane
