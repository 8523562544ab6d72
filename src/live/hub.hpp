#pragma once

// What the live server's publishers and its network thread share: the channels, the viewers and their queues.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
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
};

class Viewer;

struct Hub {
  explicit Hub(LiveServerOptions o);

  // Under `mutex`: queues `message` for every viewer subscribed to `channel`, advertising a new channel first.
  void publishLocked(const ChannelEntry& channel, bool added, Queued message);
  void publishTimeLocked(std::uint64_t timeNs);
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
  std::size_t subscriptions = 0;      // over every viewer
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
