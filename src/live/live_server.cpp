// The live server: publishers encode and queue under the hub's lock; one thread of its own runs the network.
#include "corvane/live/live_server.hpp"

#include <stdexcept>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "live/http_gate.hpp"
#include "live/video_worker.hpp"
#include "live/viewer.hpp"
#include "record/recorder_encode.hpp"

namespace corvane {

using live::Clock;
using live::Hub;
using live::Queued;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr auto kHealthEvery = std::chrono::milliseconds(200);

std::shared_ptr<const std::string> shared(std::string bytes) {
  return std::make_shared<const std::string>(std::move(bytes));
}

}  // namespace

struct detail::LiveServerState {
  Hub hub;
  tcp::acceptor acceptor{hub.ioc};
  net::steady_timer health{hub.ioc};
  std::thread thread;
  bool stopped = false;  // close() ran
  std::uint16_t port = 0;
  const record::VideoChoice videoChoice;
  std::unique_ptr<live::VideoWorker> video;  // with LiveServerOptions::video

  explicit LiveServerState(const LiveServerOptions& options) : hub(options), videoChoice{options.video, {}} {
    const tcp::endpoint endpoint(net::ip::make_address(options.host), options.port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    port = acceptor.local_endpoint().port();
    if (options.video == VideoFormat::none) return;
    const record::VideoSettings settings{options.keyframeInterval, options.videoQuality, options.jpegQuality, 1};
    video = std::make_unique<live::VideoWorker>(settings, [this](record::Outgoing&& m) { publish(std::move(m)); });
    hub.keyframeWanted = [worker = video.get()](const std::string& topic) { worker->requestKeyframe(topic); };
  }

  void accept() {
    acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted) return;
      if (!ec) {
        live::ConnectionSlot slot(hub);
        if (hub.connections > hub.options.maxConnections) {
          ++hub.refused;  // the socket closes here
        } else {
          std::make_shared<live::HttpGate>(hub, std::move(socket), std::move(slot))->start();
        }
      }
      accept();
    });
  }

  void checkViewers() {
    health.expires_after(kHealthEvery);
    health.async_wait([this](boost::system::error_code ec) {
      if (ec) return;
      {
        const std::lock_guard<std::mutex> lock(hub.mutex);
        const auto now = Clock::now();
        for (const auto& v : hub.viewers) {
          if (v->checkHealth(now)) hub.wake(v);
        }
      }
      checkViewers();
    });
  }

  // Network thread: ends every connection and the loop.
  void shutDown() {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    health.cancel();
    std::vector<std::shared_ptr<live::Viewer>> viewers;
    {
      const std::lock_guard<std::mutex> lock(hub.mutex);
      viewers = hub.viewers;
    }
    for (const auto& v : viewers) v->fail();
    hub.ioc.stop();
  }

  void publish(record::Outgoing&& m) {
    if (m.raw) {
      if (video) video->submit(std::move(m));
      return;
    }
    // Bytes the frame's reply still holds stay there, held with it: the caller's thread copies no image.
    if (!m.hold) m.payload.append(m.body);
    Queued message{Queued::Kind::data, 0, m.logTime, shared(std::move(m.payload)), m.keyframe};
    if (m.hold) {
      message.tail = m.body;
      message.hold = std::move(m.hold);
    }
    const std::lock_guard<std::mutex> lock(hub.mutex);
    if (hub.closed) return;
    bool added = false;
    const live::ChannelEntry& channel = hub.channels.intern(m, added);
    hub.publishLocked(channel, added, std::move(message));
  }

  // A static transform: published, and kept for the viewers that subscribe later.
  void publishLatched(record::Outgoing&& m, const std::string& key) {
    const std::lock_guard<std::mutex> lock(hub.mutex);
    if (hub.closed) return;
    bool added = false;
    const live::ChannelEntry& channel = hub.channels.intern(m, added);
    Queued message{Queued::Kind::data, channel.id, m.logTime, shared(std::move(m.payload)), true};
    hub.latched[channel.id].insert_or_assign(key, message);
    hub.publishLocked(channel, added, std::move(message));
  }

  // A stream's end: its message channels go away (its events channel stays, with the closing event on it).
  void streamClosed(const std::string& topic) {
    const std::lock_guard<std::mutex> lock(hub.mutex);
    if (hub.closed) return;
    hub.unadvertiseLocked({topic, topic + "/sent"});
  }

  // Frames are the heavy events: while nobody subscribes, a camera already advertised is not encoded again.
  bool skipFrame(std::string_view camera) {
    const std::lock_guard<std::mutex> lock(hub.mutex);
    if (hub.closed) return true;
    if (hub.subscriptions > 0) return false;
    return !hub.seenCameras.emplace(camera).second;
  }
};

namespace {

class LiveObserver : public ClientObserver {
 public:
  explicit LiveObserver(std::shared_ptr<detail::LiveServerState> state) : state_(std::move(state)) {}
  void onRestExchange(const RestExchange& exchange) override { state_->publish(record::encodeRest(exchange)); }
  void onStreamEvent(const StreamEvent& event) override {
    state_->publish(record::encodeStream(event));
    if (event.kind == StreamEventKind::closed) state_->streamClosed(record::streamTopic(event.url));
  }
  void onFrame(const FrameObservation& frame) override {
    if (state_->skipFrame(frame.cameraPrim)) return;
    for (record::Outgoing& m : record::encodeFrame(frame, state_->videoChoice)) state_->publish(std::move(m));
  }

 private:
  std::shared_ptr<detail::LiveServerState> state_;
};

}  // namespace

LiveServer::LiveServer(const LiveServerOptions& options) {
  try {
    state_ = std::make_shared<State>(options);
  } catch (const boost::system::system_error& error) {
    throw std::runtime_error("LiveServer: cannot listen on " + options.host + ":" + std::to_string(options.port) +
                             ": " + error.code().message());
  }
  state_->accept();
  state_->checkViewers();
  state_->thread = std::thread([state = state_.get()] { state->hub.ioc.run(); });
}

LiveServer::~LiveServer() { close(); }

std::shared_ptr<ClientObserver> LiveServer::observer() const { return std::make_shared<LiveObserver>(state_); }

void LiveServer::publish(std::string_view topic, const nlohmann::json& message, std::optional<ObservedTime> time) {
  if (topic.empty()) throw std::invalid_argument("LiveServer::publish: the topic is empty");
  const std::uint64_t at = record::nanosSinceEpoch(time.value_or(std::chrono::system_clock::now()));
  state_->publish(record::Outgoing{std::string(topic), record::Encoding::json, record::jsonPayload(message), at, at});
}

void LiveServer::publishMessage(const LiveChannel& channel, std::string payload, std::uint64_t logTimeNs,
                                bool keyframe) {
  if (channel.topic.empty()) throw std::invalid_argument("LiveServer::publishMessage: the topic is empty");
  const std::lock_guard<std::mutex> lock(state_->hub.mutex);
  if (state_->hub.closed) return;
  bool added = false;
  const live::ChannelEntry& entry = state_->hub.channels.intern(channel, added);
  state_->hub.publishLocked(entry, added, {Queued::Kind::data, 0, logTimeNs, shared(std::move(payload)), keyframe});
}

void LiveServer::setStaticTransform(const FrameTransform& transform) {
  const std::uint64_t now = record::nanosSinceEpoch(std::chrono::system_clock::now());
  state_->publishLatched(record::encodeTransform(transform, now), transform.childFrame);
}

void LiveServer::removeChannel(const std::string& topic) {
  const std::lock_guard<std::mutex> lock(state_->hub.mutex);
  if (!state_->hub.closed) state_->hub.unadvertiseLocked({topic});
}

void LiveServer::publishTime(std::uint64_t timeNs) {
  const std::lock_guard<std::mutex> lock(state_->hub.mutex);
  if (!state_->hub.closed) state_->hub.publishTimeLocked(timeNs);
}

std::uint16_t LiveServer::port() const noexcept { return state_->port; }

const std::string& LiveServer::sessionId() const noexcept { return state_->hub.sessionId; }

LiveServerStats LiveServer::stats() const {
  const std::lock_guard<std::mutex> lock(state_->hub.mutex);
  LiveServerStats s;
  for (const auto& v : state_->hub.viewers) s.viewers.push_back(v->stats());
  s.published = state_->hub.published;
  s.closedStalled = state_->hub.closedStalled;
  s.refused = state_->hub.refused;
  return s;
}

void LiveServer::close() {
  State& s = *state_;
  {
    const std::lock_guard<std::mutex> lock(s.hub.mutex);
    if (s.stopped) return;
    s.stopped = true;
    s.hub.closed = true;
  }
  if (s.video) s.video->stop();  // its thread publishes no more
  net::post(s.hub.ioc, [&s] { s.shutDown(); });
  if (s.thread.joinable()) s.thread.join();
  // The sockets go while the loop they belong to is still there.
  const std::lock_guard<std::mutex> lock(s.hub.mutex);
  s.hub.viewers.clear();
}

}  // namespace corvane
