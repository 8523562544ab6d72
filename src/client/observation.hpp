#pragma once

// Telling a client's observer what happened; each helper is called only when an observer is set.
#include <memory>
#include <string>
#include <string_view>

#include "corvane/camera.hpp"
#include "corvane/observer.hpp"

namespace corvane::detail {

/// What a stream tells its observer: whom, and the stream's URL.
struct StreamObservation {
  std::shared_ptr<ClientObserver> observer;
  std::string url;
};

void notifyStream(const StreamObservation& observation, StreamEventKind kind, std::string_view message = {});

/// Tells `observer` of a decoded capture of `cameraPrim`.
void notifyFrame(ClientObserver& observer, std::string_view cameraPrim, const CameraFrame& frame, ObservedTime start,
                 ObservedTime end);
/// The same for a capture on the shared road.
void notifyFrame(ClientObserver& observer, std::string_view cameraPrim, const SharedFrame& frame, ObservedTime start,
                 ObservedTime end);

}  // namespace corvane::detail
