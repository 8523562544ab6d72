#pragma once

// Watching what a client does: every REST exchange, stream message and decoded frame, as it happens.
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/export.hpp"

namespace corvane {

struct HttpResponse;

/// Wall-clock readings of the client (nanoseconds since the Unix epoch through time_since_epoch()).
using ObservedTime = std::chrono::system_clock::time_point;

/// One REST exchange: a verb call, one batch entry or a family call (captures included), after its last
/// attempt. The views are valid during the call only.
struct CORVANE_API RestExchange {
  std::string_view method;       ///< "GET", "POST", ...
  std::string_view path;         ///< the resource path as the caller gave it
  std::string_view requestBody;  ///< empty for GET and DELETE
  const HttpResponse* response;  ///< the final reply whatever its status; null when the exchange failed
  std::exception_ptr error;      ///< why it failed (TransportError, InterruptedError...); null with a response
  int attempts;                  ///< attempts made (0 when it failed before the first)
  ObservedTime start, end;       ///< when the call began and when its outcome was settled
};

enum class StreamEventKind {
  opened,          ///< a handshake succeeded
  sent,            ///< a whole message went out
  received,        ///< a whole data frame came in (also those receiveLatest() skips)
  closedByBridge,  ///< the bridge's close frame arrived
  closed,          ///< the caller closed the stream (or it was destroyed)
  reconnected,     ///< a ReconnectingStream reopened its connection
};

/// One event of a WebSocket stream; the views are valid during the call only.
struct CORVANE_API StreamEvent {
  StreamEventKind kind;
  std::string_view url;      ///< the stream's URL
  std::string_view message;  ///< the payload for sent and received, empty otherwise
  ObservedTime time;
};

/// One output of a decoded frame, viewing the frame's bytes.
struct CORVANE_API ObservedOutput {
  std::string_view name;  ///< the result tree's top-level member that refers to it (empty when none does)
  const std::vector<std::size_t>* shape;
  std::string_view dtype;
  const std::byte* data;
  std::size_t size;
  /// What keeps `data` valid after the call (the reply's bytes, of capture() and captureShared()): an observer
  /// may hold it instead of copying the bytes. Null when the frame is not kept (captureAll()).
  std::shared_ptr<const std::byte> owner{};
};

/// A capture decoded into a frame. The views are valid during the call only.
struct CORVANE_API FrameObservation {
  std::string_view cameraPrim;          ///< the camera's prim path as the caller gave it
  const nlohmann::json* structure;      ///< the capture's result tree
  std::vector<ObservedOutput> outputs;  ///< in manifest order
  ObservedTime start, end;              ///< when the capture was asked for and when its reply was in
};

/// The limits of the call an observer method runs in, for an observer that has to wait (a Recorder waiting
/// for room in its queue): such a wait ends by the call's deadline and asks the call's interruption hook as
/// every wait of the client does.
struct CORVANE_API ObservedCall {
  /// When the call's deadline (ClientOptions::deadline, counted from the call's start) passes; none without
  /// one, and for stream events (a stream's calls have no deadline).
  std::optional<std::chrono::steady_clock::time_point> deadline;
  /// The client's interruption hook (ClientOptions::interrupted); null or empty without one. Ask it about
  /// every 100 ms, without holding a lock the hook's own code might need.
  const std::function<bool()>* interrupted = nullptr;

  /// The call whose observer method runs on this thread now; outside an observer method, no limits.
  static ObservedCall current();
};

/// Sees what a client does (ClientOptions::observer). Each method runs on the thread that made the call, after
/// the event, while the call waits for it: keep it short. An exception thrown from it passes through the call
/// that made the event (except from closed events, which close() and destructors cannot throw: it is dropped).
/// A received message is consumed before the observer sees it: when onStreamEvent throws for it, receive()
/// (or receiveLatest()) throws that exception instead of returning the message, and the next call returns the
/// next message, whole; the stream's counts include the message once.
/// Calls from several threads using one client come concurrently: an observer shared so must be thread-safe.
class CORVANE_API ClientObserver {
 public:
  virtual ~ClientObserver();
  virtual void onRestExchange(const RestExchange& exchange);
  virtual void onStreamEvent(const StreamEvent& event);
  virtual void onFrame(const FrameObservation& frame);
};

/// Observers composed: one ClientOptions::observer that passes each event to every one of `observers` in turn
/// (e.g. a Recorder's and a LiveServer's, so a client records and serves live at once). Null entries are
/// skipped. An exception from one stops the event there and passes through, as from a single observer.
CORVANE_API std::shared_ptr<ClientObserver> observeAll(std::vector<std::shared_ptr<ClientObserver>> observers);

}  // namespace corvane
