#pragma once

// One viewer: a WebSocket connection, its subscriptions and its bounded queue.
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "live/hub.hpp"
#include "live/protocol.hpp"

namespace corvane::live {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

class Viewer : public std::enable_shared_from_this<Viewer> {
 public:
  Viewer(Hub& hub, beast::tcp_stream stream, std::string subprotocol, ConnectionSlot slot);

  /// Network thread: answers the upgrade request, then joins the hub and reads.
  void accept(const http::request<http::string_body>& request);

  // Under the hub's mutex.
  /// Queues a channel's message if subscribed (newest wins on such channels); true when the writer must wake.
  bool enqueue(const ChannelEntry& channel, const Queued& message);
  /// Queues a text or time message (never dropped: a viewer this far behind is closed); true: wake the writer.
  bool enqueueControl(Queued message);
  /// Forgets a channel that went away: its subscription and the messages of it still queued.
  void forget(std::uint32_t channelId);
  /// Closes a viewer stalled in a send and tells one with drops about them (and, once they have stopped, that
  /// they have); true: wake the writer.
  bool checkHealth(Clock::time_point now);
  LiveViewerStats stats() const;

  /// Network thread: sends what is queued, one message at a time.
  void writeNext();
  /// Network thread: closes the connection and leaves the hub (once).
  void fail();

 private:
  void onAccept(beast::error_code ec);
  void read();
  void onRead(beast::error_code ec);
  void apply(const ClientRequest& request);                       // under the mutex
  void reply(StatusLevel level, const std::string& message);      // under the mutex
  void subscribe(std::uint32_t id, const ChannelEntry& channel);  // under the mutex
  bool reportDrops(Clock::time_point now);                        // under the mutex
  bool push(Queued message);
  void countDrop(const ChannelEntry& channel);
  std::size_t sizeOf(const Queued& m) const { return m.body->size() + m.tail.size(); }

  Hub& hub_;
  websocket::stream<beast::tcp_stream> ws_;
  ConnectionSlot slot_;
  beast::flat_buffer readBuffer_;

  // Under the hub's mutex.
  bool failed_ = false;
  std::deque<Queued> queue_;
  std::size_t queuedBytes_ = 0;
  bool writing_ = false;  // a writeNext() chain runs
  bool sending_ = false;  // a send is in flight, since sendStart_
  Clock::time_point sendStart_;
  Queued inFlight_;
  DataHeader header_{};
  std::map<std::uint32_t, std::uint32_t> subscriptionOf_;  // channel id -> the client's subscription id
  std::map<std::uint32_t, std::uint32_t> channelOf_;       // subscription id -> channel id
  std::set<std::uint32_t> awaitingKeyframe_;               // channels with a drop since their last keyframe
  LiveViewerStats stats_;
  std::map<std::string, std::uint64_t> unreported_;  // drops not yet told to the viewer, by topic
  Clock::time_point lastReport_, lastDrop_;
  bool dropsShown_ = false;  // a drops status is up
};

}  // namespace corvane::live
