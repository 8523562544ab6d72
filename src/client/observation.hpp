#pragma once

// Telling a client's observer what happened; each helper is called only when an observer is set.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "corvane/camera.hpp"
#include "corvane/observer.hpp"
#include "corvane/options.hpp"

namespace corvane::detail {

/// What a stream tells its observer: whom, the stream's URL, and the client's interruption hook (the limit
/// of an observer's wait, see ObservedCall).
struct StreamObservation {
  std::shared_ptr<ClientObserver> observer;
  std::string url;
  std::function<bool()> interrupted;
};

/// Makes `call` what ObservedCall::current() returns on this thread while it lives (`call` outlives it).
class ObservedCallScope {
 public:
  explicit ObservedCallScope(const ObservedCall& call) noexcept;
  ~ObservedCallScope();
  ObservedCallScope(const ObservedCallScope&) = delete;
  ObservedCallScope& operator=(const ObservedCallScope&) = delete;

 private:
  const ObservedCall* previous_;
};

/// The limits of a call of a client with `options` that began at `start`.
ObservedCall observedCall(const ClientOptions& options, ObservedTime start);

void notifyStream(const StreamObservation& observation, StreamEventKind kind, std::string_view message = {});

/// Tells the observer of `options` of a decoded capture of `cameraPrim`.
void notifyFrame(const ClientOptions& options, std::string_view cameraPrim, const CameraFrame& frame,
                 ObservedTime start, ObservedTime end);
/// The same for a capture on the shared road.
void notifyFrame(const ClientOptions& options, std::string_view cameraPrim, const SharedFrame& frame,
                 ObservedTime start, ObservedTime end);

}  // namespace corvane::detail
