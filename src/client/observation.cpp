#include "client/observation.hpp"

namespace corvane {

ClientObserver::~ClientObserver() = default;
void ClientObserver::onRestExchange(const RestExchange& /*exchange*/) {}
void ClientObserver::onStreamEvent(const StreamEvent& /*event*/) {}
void ClientObserver::onFrame(const FrameObservation& /*frame*/) {}

namespace detail {

void notifyStream(const StreamObservation& observation, StreamEventKind kind, std::string_view message) {
  observation.observer->onStreamEvent({kind, observation.url, message, std::chrono::system_clock::now()});
}

namespace {

// Names each output after the result tree's top-level member that refers to it, then tells the observer.
void tellFrame(ClientObserver& observer, FrameObservation& observed) {
  const nlohmann::json& structure = *observed.structure;
  if (structure.is_object()) {
    for (const auto& [name, value] : structure.items()) {
      const auto index = value.is_object() ? value.find("__ndarray__") : value.end();
      if (index == value.end() || !index->is_number_unsigned()) continue;
      const auto i = index->get<std::size_t>();
      if (i < observed.outputs.size()) observed.outputs[i].name = name;
    }
  }
  observer.onFrame(observed);
}

}  // namespace

void notifyFrame(ClientObserver& observer, std::string_view cameraPrim, const CameraFrame& frame, ObservedTime start,
                 ObservedTime end) {
  FrameObservation observed{cameraPrim, &frame.structure, {}, start, end};
  observed.outputs.reserve(frame.outputs.size());
  for (const CameraOutput& output : frame.outputs) {
    observed.outputs.push_back({{}, &output.shape, output.dtype, output.data.data(), output.data.size()});
  }
  tellFrame(observer, observed);
}

void notifyFrame(ClientObserver& observer, std::string_view cameraPrim, const SharedFrame& frame, ObservedTime start,
                 ObservedTime end) {
  FrameObservation observed{cameraPrim, &frame.structure(), {}, start, end};
  observed.outputs.reserve(frame.outputs().size());
  for (const SharedOutput& output : frame.outputs()) {
    observed.outputs.push_back({{}, &output.shape, output.dtype, output.data(), output.nbytes(), output.bytes()});
  }
  tellFrame(observer, observed);
}

}  // namespace detail
}  // namespace corvane
