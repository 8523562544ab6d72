#pragma once

// Serving what a client sees live over the Foxglove WebSocket protocol, and a page of its own on the same port.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/export.hpp"
#include "corvane/observer.hpp"
#include "corvane/record/channel_options.hpp"

namespace corvane {

namespace detail {
struct LiveServerState;  // defined in src/live/live_server.cpp
}  // namespace detail

struct CORVANE_API LiveServerOptions {
  /// The address to listen on: loopback by default (reach it from elsewhere through an SSH tunnel); "0.0.0.0"
  /// serves every interface.
  std::string host = "127.0.0.1";
  /// 0: a free port, read back with LiveServer::port().
  std::uint16_t port = 8765;
  /// The serverInfo name.
  std::string name = "corvane";
  /// Announce the "time" capability: publishTime() sends the viewers' clock (a recording played back).
  bool timeCapability = false;
  /// The most message bytes queued for one viewer (beyond the one being sent). A newer image replaces the
  /// queued one of its channel; other messages that do not fit are dropped and counted.
  std::size_t viewerQueueBytes = 8U << 20;
  /// A viewer whose send has not finished after this long (it stopped reading) is closed.
  std::chrono::milliseconds stallTimeout{5000};
  /// The most connections at once (viewers and HTTP requests); more are closed as they come.
  std::size_t maxConnections = 16;
  /// Colour camera outputs served as the Recorder's video or compressed images (RecorderOptions::video), encoded
  /// on a thread of the server's own: while it is busy, a newer frame of a camera replaces the one waiting.
  VideoFormat video = VideoFormat::none;
  /// Video: the longest time from one keyframe to the next (a viewer that subscribes gets one at once).
  std::chrono::milliseconds keyframeInterval{1000};
  int videoQuality = 23;  ///< video: constant-quality factor (CRF), lower is better and larger
  int jpegQuality = 90;   ///< jpeg: 1 to 100
};

/// A channel published as given (LiveServer::publishMessage): its topic, message encoding and schema.
struct CORVANE_API LiveChannel {
  std::string topic;
  std::string messageEncoding;  ///< "json", "ros1", "protobuf", ...
  std::string schemaName;       ///< empty: no schema
  std::string schemaEncoding;   ///< "ros1msg", "jsonschema", ...
  std::string schema;
  bool newestWins = false;  ///< only the newest message matters (an image): a queued older one is replaced
};

struct CORVANE_API LiveViewerStats {
  std::string subprotocol;                       ///< "foxglove.websocket.v1" or "foxglove.sdk.v1"
  std::uint64_t sent = 0;                        ///< messages sent
  std::map<std::string, std::uint64_t> dropped;  ///< messages dropped (replaced or not queued), by topic
  std::size_t queuedBytes = 0;                   ///< bytes waiting now
};

struct CORVANE_API LiveServerStats {
  std::vector<LiveViewerStats> viewers;  ///< the viewers connected now
  std::uint64_t published = 0;           ///< messages published (observed or given)
  std::uint64_t closedStalled = 0;       ///< viewers closed because they stopped reading
  std::uint64_t refused = 0;             ///< connections refused (no known subprotocol, too many, bad request)
};

/// Serves a client's observations live over the Foxglove WebSocket protocol (subprotocols
/// foxglove.websocket.v1 and foxglove.sdk.v1), so that Foxglove, its open-source fork or the page served at
/// http://HOST:PORT/ show them as they happen. The channels, encodings and schemas are those of the Recorder:
/// what a file holds and what a viewer sees are the same bytes. Give observer() to ClientOptions::observer
/// (with a Recorder's too through observeAll()).
///
/// It never slows the caller: an observed event is encoded once and queued for each viewer subscribed to its
/// channel (a channel already advertised that nobody subscribes to is not encoded at all); each viewer has a
/// bounded queue (LiveServerOptions::viewerQueueBytes) where the newest image wins; on a video channel a viewer
/// that missed a frame restarts at the next keyframe, never given a frame it cannot decode; drops are counted
/// per viewer and topic (stats()) and told to the viewer in a status message, taken back (removeStatus) once
/// they have stopped for 3 s; a viewer that stops reading is closed after stallTimeout. Bad input from a viewer
/// gets a status error or a close. A stream closed, or a channel removed (removeChannel()), is unadvertised.
///
/// Threads: the server runs one thread of its own (the network side); observer calls and publish*() only
/// encode and queue. Thread-safe.
class CORVANE_API LiveServer {
 public:
  /// Listens at once; throws std::runtime_error when the address cannot be bound.
  explicit LiveServer(const LiveServerOptions& options = {});
  /// Closes every connection and stops the thread.
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  /// The observer to put into ClientOptions::observer; it stays valid after the server is gone (and then
  /// ignores events).
  std::shared_ptr<ClientObserver> observer() const;

  /// Publishes `message` (a JSON object; anything else is wrapped as {"value": message}) on `topic`, logged at
  /// `time` (default: now).
  void publish(std::string_view topic, const nlohmann::json& message, std::optional<ObservedTime> time = std::nullopt);
  /// Publishes `payload` as it is on `channel` (advertised on its first use), logged at `logTimeNs`. `keyframe`
  /// false: a message that needs the earlier ones of its channel (a video delta frame), not sent to a viewer that
  /// missed some since the last keyframe.
  void publishMessage(const LiveChannel& channel, std::string payload, std::uint64_t logTimeNs, bool keyframe = true);
  /// Publishes a transform the bridge does not report (see FrameTransform) on "/transforms" as
  /// foxglove.FrameTransform, as the Recorder does, and keeps it: a viewer that subscribes later gets it too (one
  /// per child frame, the last set). std::invalid_argument for an empty frame name or a rotation that is not a
  /// unit quaternion.
  void setStaticTransform(const FrameTransform& transform);
  /// Unadvertises every channel of `topic` (a viewer's subscriptions to it end); publishing on it again
  /// advertises it anew, under a new channel id.
  void removeChannel(const std::string& topic);
  /// Sends the viewers' current time (with LiveServerOptions::timeCapability), in ns on the messages' clock.
  void publishTime(std::uint64_t timeNs);

  /// The port listened on.
  std::uint16_t port() const noexcept;
  /// The session id sent in serverInfo: a new one for each server.
  const std::string& sessionId() const noexcept;
  LiveServerStats stats() const;
  /// Closes every connection and stops the thread; later publishing does nothing. A second call does nothing.
  void close();

 private:
  using State = detail::LiveServerState;
  std::shared_ptr<State> state_;
};

}  // namespace corvane
