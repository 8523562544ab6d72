#include "live/viewer.hpp"

#include <array>

#include "record/video_channels.hpp"

namespace corvane::live {
namespace {

constexpr std::size_t kMaxClientMessage = 1U << 20;  // subscribe lists; a larger message closes the viewer
constexpr auto kReportEvery = std::chrono::seconds(1);
constexpr auto kClearAfter = std::chrono::seconds(3);  // a drops status is taken back after this long without one
constexpr std::string_view kDropsStatus = "corvane.drops";
constexpr std::size_t kControlSlack = 4;  // text queued beyond this many queue bounds closes the viewer

}  // namespace

Viewer::Viewer(Hub& hub, beast::tcp_stream stream, std::string subprotocol, ConnectionSlot slot)
    : hub_(hub), ws_(std::move(stream)), slot_(std::move(slot)) {
  stats_.subprotocol = std::move(subprotocol);
}

void Viewer::accept(const http::request<http::string_body>& request) {
  beast::get_lowest_layer(ws_).expires_never();  // the WebSocket's own timeouts from here on
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = std::chrono::seconds(5);
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  ws_.set_option(timeouts);
  ws_.set_option(websocket::stream_base::decorator(
      [protocol = stats_.subprotocol, name = hub_.options.name](websocket::response_type& response) {
        response.set(http::field::sec_websocket_protocol, protocol);
        response.set(http::field::server, name);
      }));
  ws_.read_message_max(kMaxClientMessage);
  ws_.auto_fragment(false);
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) { self->onAccept(ec); });
}

void Viewer::onAccept(beast::error_code ec) {
  if (ec) return fail();
  bool closed = false;
  {
    const std::lock_guard<std::mutex> lock(hub_.mutex);
    closed = hub_.closed;
    lastReport_ = Clock::now();
    if (!closed) hub_.join(shared_from_this());
  }
  if (closed) return fail();
  read();
}

void Viewer::read() {
  ws_.async_read(readBuffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
}

void Viewer::onRead(beast::error_code ec) {
  if (ec) return fail();
  const bool binary = ws_.got_binary();
  const std::string text = binary ? std::string() : beast::buffers_to_string(readBuffer_.data());
  readBuffer_.consume(readBuffer_.size());
  {
    const std::lock_guard<std::mutex> lock(hub_.mutex);
    if (binary) {
      reply(StatusLevel::error, "binary client messages are not supported (no clientPublish or services)");
    } else {
      apply(parseClientRequest(text));
    }
  }
  read();
}

void Viewer::apply(const ClientRequest& request) {
  using Op = ClientRequest::Op;
  if (request.op == Op::invalid) return reply(StatusLevel::error, "bad request: " + request.error);
  if (request.op == Op::unsubscribe) {
    for (const std::uint32_t id : request.subscriptionIds) {
      const auto found = channelOf_.find(id);
      if (found == channelOf_.end()) {
        reply(StatusLevel::error, "unsubscribe: unknown subscription id " + std::to_string(id));
        continue;
      }
      subscriptionOf_.erase(found->second);
      channelOf_.erase(found);
      --hub_.subscriptions;
    }
    return;
  }
  for (const auto& [id, channel] : request.subscriptions) {
    const ChannelEntry* entry = hub_.channels.find(channel);
    if (entry == nullptr) {
      reply(StatusLevel::error, "subscribe: unknown channel id " + std::to_string(channel));
    } else if (channelOf_.count(id) != 0 || subscriptionOf_.count(channel) != 0) {
      reply(StatusLevel::error, "subscribe: subscription id " + std::to_string(id) + " or channel " +
                                    std::to_string(channel) + " already subscribed");
    } else {
      subscribe(id, *entry);
    }
  }
}

void Viewer::subscribe(std::uint32_t id, const ChannelEntry& channel) {
  channelOf_[id] = channel.id;
  subscriptionOf_[channel.id] = id;
  awaitingKeyframe_.insert(channel.id);  // a video joins at a keyframe
  ++hub_.subscriptions;
  if (channel.declared.schemaName == record::kCompressedVideoSchemaName && hub_.keyframeWanted) {
    hub_.keyframeWanted(channel.declared.topic);
  }
  const auto latched = hub_.latched.find(channel.id);
  if (latched == hub_.latched.end()) return;
  bool wakeIt = false;
  for (const auto& entry : latched->second) wakeIt |= enqueue(channel, entry.second);
  if (wakeIt) hub_.wake(shared_from_this());
}

void Viewer::reply(StatusLevel level, const std::string& message) {
  if (enqueueControl({Queued::Kind::text, 0, 0, std::make_shared<const std::string>(status(level, message, "")), true}))
    hub_.wake(shared_from_this());
}

bool Viewer::push(Queued message) {
  queuedBytes_ += sizeOf(message);
  queue_.push_back(std::move(message));
  if (writing_) return false;
  writing_ = true;
  return true;
}

void Viewer::forget(std::uint32_t channelId) {
  const auto subscription = subscriptionOf_.find(channelId);
  if (subscription != subscriptionOf_.end()) {
    channelOf_.erase(subscription->second);
    subscriptionOf_.erase(subscription);
    --hub_.subscriptions;
  }
  awaitingKeyframe_.erase(channelId);
  for (auto queued = queue_.begin(); queued != queue_.end();) {
    if (queued->kind != Queued::Kind::data || queued->channelId != channelId) {
      ++queued;
      continue;
    }
    queuedBytes_ -= sizeOf(*queued);
    queued = queue_.erase(queued);
  }
}

void Viewer::countDrop(const ChannelEntry& channel) {
  lastDrop_ = Clock::now();
  ++stats_.dropped[channel.declared.topic];
  ++unreported_[channel.declared.topic];
  awaitingKeyframe_.insert(channel.id);
}

bool Viewer::enqueue(const ChannelEntry& channel, const Queued& message) {
  if (failed_ || subscriptionOf_.count(channel.id) == 0) return false;
  if (message.keyframe) {
    awaitingKeyframe_.erase(channel.id);
  } else if (awaitingKeyframe_.count(channel.id) != 0) {
    return false;  // undecodable without the frames missed: wait for the next keyframe
  }
  if (channel.declared.newestWins) {
    for (auto queued = queue_.begin(); queued != queue_.end(); ++queued) {
      if (queued->kind != Queued::Kind::data || queued->channelId != channel.id) continue;
      queuedBytes_ -= sizeOf(*queued);
      queue_.erase(queued);
      countDrop(channel);
      if (!message.keyframe) return false;
      awaitingKeyframe_.erase(channel.id);
      break;
    }
  }
  if (queuedBytes_ > 0 && queuedBytes_ + sizeOf(message) > hub_.options.viewerQueueBytes) {
    countDrop(channel);
    return false;
  }
  return push(message);
}

bool Viewer::enqueueControl(Queued message) {
  if (failed_) return false;
  if (message.kind == Queued::Kind::time) {
    for (Queued& queued : queue_) {
      if (queued.kind != Queued::Kind::time) continue;
      queued = std::move(message);  // only the newest time matters
      return false;
    }
  }
  if (queuedBytes_ > kControlSlack * hub_.options.viewerQueueBytes) {
    net::post(hub_.ioc, [self = shared_from_this()] { self->fail(); });
    return false;
  }
  return push(std::move(message));
}

bool Viewer::checkHealth(Clock::time_point now) {
  if (failed_) return false;
  if (sending_ && now - sendStart_ > hub_.options.stallTimeout) {
    ++hub_.closedStalled;
    net::post(hub_.ioc, [self = shared_from_this()] { self->fail(); });
    return false;
  }
  return reportDrops(now);
}

// Drops are told once a second while they last, as a warning status that is taken back once they have stopped.
bool Viewer::reportDrops(Clock::time_point now) {
  if (unreported_.empty()) {
    if (!dropsShown_ || now - lastDrop_ < kClearAfter) return false;
    dropsShown_ = false;
    return enqueueControl({Queued::Kind::text, 0, 0,
                           std::make_shared<const std::string>(removeStatus({std::string(kDropsStatus)})), true});
  }
  if (now - lastReport_ < kReportEvery) return false;
  std::string message = "dropped messages (the connection is slower than the data):";
  for (const auto& [topic, count] : unreported_) message += " " + topic + " " + std::to_string(count) + ";";
  unreported_.clear();
  lastReport_ = now;
  dropsShown_ = true;
  return enqueueControl({Queued::Kind::text, 0, 0,
                         std::make_shared<const std::string>(status(StatusLevel::warning, message, kDropsStatus)),
                         true});
}

LiveViewerStats Viewer::stats() const {
  LiveViewerStats s = stats_;
  s.queuedBytes = queuedBytes_;
  return s;
}

void Viewer::writeNext() {
  std::unique_lock<std::mutex> lock(hub_.mutex);
  sending_ = false;
  while (!failed_ && !queue_.empty()) {
    inFlight_ = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= sizeOf(inFlight_);
    if (inFlight_.kind == Queued::Kind::data) {
      const auto subscription = subscriptionOf_.find(inFlight_.channelId);
      if (subscription == subscriptionOf_.end()) continue;  // unsubscribed since
      header_ = messageDataHeader(subscription->second, inFlight_.logTime);
    }
    sending_ = true;
    sendStart_ = Clock::now();
    ++stats_.sent;
    lock.unlock();
    const bool data = inFlight_.kind == Queued::Kind::data;
    ws_.binary(inFlight_.kind != Queued::Kind::text);
    const std::array<net::const_buffer, 3> buffers{net::buffer(header_.data(), data ? header_.size() : 0),
                                                   net::buffer(*inFlight_.body),
                                                   net::buffer(inFlight_.tail.data(), inFlight_.tail.size())};
    ws_.async_write(buffers, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->fail();
      self->writeNext();
    });
    return;
  }
  writing_ = false;
}

void Viewer::fail() {
  {
    const std::lock_guard<std::mutex> lock(hub_.mutex);
    if (failed_) return;
    failed_ = true;
    hub_.subscriptions -= subscriptionOf_.size();
    subscriptionOf_.clear();
    queue_.clear();
    queuedBytes_ = 0;
    hub_.leave(this);
  }
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(ws_).socket().close(ignored);
}

}  // namespace corvane::live
