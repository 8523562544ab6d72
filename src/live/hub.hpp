#pragma once

// What the live server's publishers and its network thread share: the channels, the viewers and their queues.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "corvane/live/live_server.hpp"
#include "live/channel_table.hpp"

namespace corvane::live {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

/// A message waiting for a viewer: a JSON text, a channel's message or the time.
struct Queued {
  enum class Kind { text, data, time } kind;
  std::uint32_t channelId = 0;
  std::uint64_t logTime = 0;
  std::shared_ptr<const std::string> body;
  bool keyframe = true;
  /// The message's last bytes where their owner keeps them (a capture's reply, held by `hold`): not copied.
  std::string_view tail{};
  std::shared_ptr<const void> hold{};
};

class Viewer;

struct Hub {
  explicit Hub(LiveServerOptions o);

  // Under `mutex`: queues `message` for every viewer subscribed to `channel`, advertising a new channel first.
  void publishLocked(const ChannelEntry& channel, bool added, Queued message);
  void publishTimeLocked(std::uint64_t timeNs);
  // Under `mutex`: removes the channels of `topics`; each viewer drops its subscriptions to them and is told.
  void unadvertiseLocked(const std::vector<std::string>& topics);
  // Under `mutex`: a viewer joins (serverInfo and the channels are queued for it) or leaves.
  void join(const std::shared_ptr<Viewer>& viewer);
  void leave(const Viewer* viewer);
  void wake(const std::shared_ptr<Viewer>& viewer);

  const LiveServerOptions options;
  const std::string sessionId;
  std::mutex mutex;
  ChannelTable channels;
  std::vector<std::shared_ptr<Viewer>> viewers;
  std::set<std::string> seenCameras;  // frames of these are skipped while nobody subscribes
  // Messages a viewer gets as it subscribes to their channel, whenever they were published (the static
  // transforms), by channel id and key (the child frame).
  std::map<std::uint32_t, std::map<std::string, Queued>> latched;
  // Asked (under `mutex`) when a viewer subscribes to a video channel: its next frame is to be a keyframe.
  std::function<void(const std::string& topic)> keyframeWanted;
  std::size_t subscriptions = 0;  // over every viewer
  std::uint64_t published = 0, closedStalled = 0;
  bool closed = false;
  std::atomic<std::uint64_t> refused{0};
  std::atomic<std::size_t> connections{0};
  net::io_context ioc{1};  // last: handlers it destroys may still use the members above
};

/// One connection counted against LiveServerOptions::maxConnections while it lives.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(Hub& hub) : hub_(&hub) { ++hub.connections; }
  ConnectionSlot(ConnectionSlot&& other) noexcept : hub_(std::exchange(other.hub_, nullptr)) {}
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  ~ConnectionSlot() {
    if (hub_ != nullptr) --hub_->connections;
  }

 private:
  Hub* hub_;
};

}  // namespace corvane::live
