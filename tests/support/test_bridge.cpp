#include "test_bridge.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <cstdlib>

#include "websocket_frame.hpp"
#include "websocket_peer_impl.hpp"

namespace corvane::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

constexpr std::uint64_t kBodyLimit = 256ull << 20;

// A canned WebSocket connection. A pushing one waits for the client to ask for frames (a text message
// holding a count), then writes that many pre-encoded frames in one gathered write straight to the socket,
// so that the server costs next to nothing per frame and the client side is what gets measured. The count
// bounds what is in flight: libcurl's receive buffer grows without limit while a peer sends faster than it
// is read (see docs/performance.md). A swallowing one reads and drops whatever arrives.
class CannedStream : public std::enable_shared_from_this<CannedStream> {
 public:
  CannedStream(tcp::socket socket, const std::string* frame) : ws_(std::move(socket)), frame_(frame) {}

  void start(http::request<http::string_body> upgrade) {
    ws_.async_accept(upgrade, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      if (self->frame_ != nullptr) {
        self->awaitRequest();
      } else {
        self->swallow();
      }
    });
  }

 private:
  void awaitRequest() {
    ws_.async_read(request_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return;
      const std::string text = beast::buffers_to_string(self->request_.data());
      self->request_.clear();
      self->push(std::strtoul(text.c_str(), nullptr, 10));
    });
  }

  void push(std::size_t count) {
    frames_.assign(count, asio::buffer(*frame_));
    asio::async_write(ws_.next_layer(), frames_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (!ec) self->awaitRequest();
    });
  }

  void swallow() {
    ws_.next_layer().async_read_some(asio::buffer(sink_),
                                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                       if (!ec) self->swallow();
                                     });
  }

  websocket::stream<tcp::socket> ws_;
  const std::string* frame_;
  beast::flat_buffer request_;
  std::vector<asio::const_buffer> frames_;
  std::array<char, 256 * 1024> sink_;
};

// A canned HTTP connection: every request answered from the routes, until it upgrades or closes.
class CannedSession : public std::enable_shared_from_this<CannedSession> {
 public:
  CannedSession(tcp::socket socket, const CannedRoutes& routes)
      : socket_(std::move(socket)), routes_(routes), timer_(socket_.get_executor()) {}

  void read() {
    request_ = {};
    http::async_read(socket_, buffer_, request_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (!ec) self->answer();
    });
  }

 private:
  void answer() {
    const std::string_view target(request_.target().data(), request_.target().size());
    if (websocket::is_upgrade(request_)) {
      const auto found = routes_.push.find(target);
      const std::string* frame = found == routes_.push.end() ? nullptr : &found->second;
      std::make_shared<CannedStream>(std::move(socket_), frame)->start(std::move(request_));
      return;
    }
    const auto found = routes_.http.find(target);
    response_ = {http::status::ok, request_.version()};
    response_.set(http::field::content_type, "application/json");
    // The canned bytes themselves, not a copy: a 22.8 MB capture reply would otherwise cost the server a
    // fresh copy (and its page faults) per request, on the cores the measured client runs on.
    static constexpr std::string_view kEmptyObject = "{}";
    const std::string_view body = found == routes_.http.end() ? kEmptyObject : std::string_view(found->second);
    response_.body() = {body.data(), body.size()};
    response_.keep_alive(request_.keep_alive());
    response_.prepare_payload();
    const auto delay = routes_.delays.find(target);
    if (delay == routes_.delays.end()) return write();
    timer_.expires_after(delay->second);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->write();
    });
  }

  void write() {
    http::async_write(socket_, response_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (!ec && self->response_.keep_alive()) self->read();
    });
  }

  tcp::socket socket_;
  const CannedRoutes& routes_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::span_body<const char>> response_;
  asio::steady_timer timer_;
};

}  // namespace

const std::string* RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return &value;
  }
  return nullptr;
}

Reply Reply::json(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.headers = {{"Content-Type", "application/json"}};
  return reply;
}

Reply Reply::frame(int status, std::string frame) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(frame);
  reply.headers = {{"Content-Type", "application/octet-stream"}};
  return reply;
}

Reply Reply::rawBytes(std::string bytes) {
  Reply reply;
  reply.raw = std::move(bytes);
  return reply;
}

Reply Reply::hangUp() {
  Reply reply;
  reply.closeWithoutAnswer = true;
  return reply;
}

Reply Reply::resetAfter(std::string bytes) {
  Reply reply = rawBytes(std::move(bytes));
  reply.reset = true;
  return reply;
}

Reply Reply::delayed(std::chrono::milliseconds delay, Reply reply) {
  reply.delay = delay;
  return reply;
}

struct TestBridge::Impl {
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
};

struct TestBridge::Upgrade {
  http::request<http::string_body> request;
};

struct TestBridge::Connection {
  explicit Connection(tcp::socket s) : socket(std::move(s)) {}
  tcp::socket socket;
  std::thread thread;
  std::atomic<bool> done{false};
};

TestBridge::TestBridge(std::uint16_t port) { listen(port); }

TestBridge::TestBridge(CannedRoutes routes) : canned_(std::move(routes)) {
  for (auto& [target, payload] : canned_->push) payload = textFrame(payload);
  listen(0);
}

void TestBridge::listen(std::uint16_t port) {
  impl_ = std::make_unique<Impl>();
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  acceptNext();
  ioThread_ = std::thread([this] { impl_->io.run(); });
}

TestBridge::~TestBridge() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (auto& connection : connections_) ::shutdown(connection->socket.native_handle(), SHUT_RDWR);
    for (auto& peer : peers_) peer->impl_->stop();
  }
  stopCv_.notify_all();
  impl_->io.stop();  // ends the accept and every canned connection
  ioThread_.join();
  for (auto& connection : connections_) connection->thread.join();
}

std::string TestBridge::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
std::string TestBridge::wsBaseUrl() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/"; }

void TestBridge::enqueue(const Reply& reply, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < times; ++i) queue_.push_back(reply);
}

void TestBridge::setFallback(Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  fallback_ = std::move(reply);
}

void TestBridge::setReplyFor(std::string target, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  targetReplies_[std::move(target)] = std::move(reply);
}

void TestBridge::setKeepAliveIdle(std::chrono::milliseconds idle) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepAliveIdle_ = idle;
}

std::size_t TestBridge::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connectionCount_;
}

std::vector<RecordedRequest> TestBridge::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t TestBridge::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

RecordedRequest TestBridge::lastRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (requests_.empty()) {
    ADD_FAILURE() << "the test bridge received no request";
    return {};
  }
  return requests_.back();
}

std::uint16_t TestBridge::closedPort() {
  // Bind an ephemeral port and release it without listening: nothing accepts there afterwards.
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return probe.local_endpoint().port();
}

void TestBridge::setUpgradeAnswer(UpgradeAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  upgradeAnswer_ = answer;
}

void TestBridge::setWebSocketReadDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  webSocketReadDelay_ = delay;
}

std::shared_ptr<WebSocketPeer> TestBridge::webSocket(std::size_t index, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!peerCv_.wait_for(lock, timeout, [&] { return peers_.size() > index; })) {
    ADD_FAILURE() << "the test bridge accepted no WebSocket connection #" << index;
    return nullptr;
  }
  return peers_[index];
}

Reply TestBridge::nextReply(const std::string& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto found = targetReplies_.find(target); found != targetReplies_.end()) return found->second;
  if (queue_.empty()) return fallback_;
  Reply reply = std::move(queue_.front());
  queue_.pop_front();
  return reply;
}

void TestBridge::record(RecordedRequest request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(request));
}

bool TestBridge::waitUnlessStopping(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopCv_.wait_for(lock, delay, [this] { return stopping_; });
}

void TestBridge::reapFinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void TestBridge::acceptNext() {
  impl_->acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (canned_ && !ec) {
      socket.set_option(tcp::no_delay(true), ec);
      std::make_shared<CannedSession>(std::move(socket), *canned_)->read();
    } else if (!ec) {
      adopt(std::make_unique<Connection>(std::move(socket)));
    }
    acceptNext();
  });
}

// A scripted connection is served on a thread of its own.
void TestBridge::adopt(std::unique_ptr<Connection> connection) {
  reapFinished();
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  ++connectionCount_;
  Connection& ref = *connection;
  connections_.push_back(std::move(connection));
  ref.thread = std::thread([this, &ref] {
    serve(ref);
    std::lock_guard<std::mutex> closing(mutex_);  // the destructor shuts sockets down under this lock
    beast::error_code ignored;
    ref.socket.close(ignored);
    ref.done = true;
  });
}

// Whether the next request may be read: false when the keep-alive idle time passed without one.
bool TestBridge::awaitNextRequest(Connection& connection, std::size_t buffered) {
  std::chrono::milliseconds idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle = keepAliveIdle_;
  }
  if (idle.count() == 0 || buffered > 0) return true;
  pollfd readable{connection.socket.native_handle(), POLLIN, 0};
  return ::poll(&readable, 1, static_cast<int>(idle.count())) > 0;
}

void TestBridge::serve(Connection& connection) {
  tcp::socket& socket = connection.socket;
  beast::flat_buffer buffer;
  for (bool first = true;; first = false) {
    if (!first && !awaitNextRequest(connection, buffer.size())) return;
    beast::error_code ec;
    http::request_parser<http::string_body> parser;
    parser.body_limit(kBodyLimit);
    http::read_header(socket, buffer, parser, ec);
    if (ec) return;
    const auto arrival = std::chrono::steady_clock::now();
    if (parser.get()[http::field::expect] == "100-continue") {
      http::response<http::empty_body> go_on{http::status::continue_, 11};
      http::write(socket, go_on, ec);
    }
    if (!parser.is_done()) http::read(socket, buffer, parser, ec);
    if (ec) return;

    const auto& req = parser.get();
    RecordedRequest recorded{std::string(req.method_string()), std::string(req.target()), {}, req.body(), arrival};
    for (const auto& field : req) recorded.headers.emplace_back(field.name_string(), field.value());
    const std::string target = recorded.target;
    record(std::move(recorded));
    if (websocket::is_upgrade(req)) {
      Upgrade upgrade{parser.release()};
      return serveUpgrade(connection, upgrade);
    }

    const Reply reply = nextReply(target);
    if (reply.delay.count() > 0 && !waitUnlessStopping(reply.delay)) return;
    if (reply.closeWithoutAnswer) return;
    if (reply.raw) asio::write(socket, asio::buffer(*reply.raw), ec);
    if (reply.reset) {
      // With a zero linger time the close that ends every connection sends RST instead of FIN.
      socket.set_option(asio::socket_base::linger(true, 0), ec);
      return;
    }
    if (reply.raw) {
      socket.shutdown(tcp::socket::shutdown_send, ec);
      return;
    }
    http::response<http::string_body> res{static_cast<http::status>(reply.status), req.version()};
    for (const auto& [name, value] : reply.headers) res.insert(name, value);
    res.body() = reply.body;
    res.keep_alive(req.keep_alive());
    res.prepare_payload();
    http::write(socket, res, ec);
    if (ec || !res.keep_alive()) return;
  }
}

void TestBridge::serveUpgrade(Connection& connection, Upgrade& upgrade) {
  UpgradeAnswer answer;
  std::chrono::milliseconds readDelay;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answer = upgradeAnswer_;
    readDelay = webSocketReadDelay_;
  }
  beast::error_code ec;
  switch (answer) {
    case UpgradeAnswer::refuse: {
      http::response<http::string_body> res{http::status::not_found, upgrade.request.version()};
      res.body() = "no such stream";
      res.keep_alive(false);
      res.prepare_payload();
      http::write(connection.socket, res, ec);
      return;
    }
    case UpgradeAnswer::hangUp:
      return;
    case UpgradeAnswer::stall:
      waitUnlessStopping(std::chrono::hours(1));
      return;
    case UpgradeAnswer::accept:
    case UpgradeAnswer::acceptThenClose:
      break;
  }
  auto impl = std::make_unique<WebSocketPeer::Impl>(std::string(upgrade.request.target()));
  WebSocketPeer::Impl& session = *impl;
  session.readDelay = readDelay;
  std::shared_ptr<WebSocketPeer> peer(new WebSocketPeer(std::move(impl)));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    peers_.push_back(peer);
  }
  peerCv_.notify_all();
  if (answer == UpgradeAnswer::acceptThenClose) peer->sendClose();  // goes out once the upgrade is done
  // The session owns the socket from here on; the destructor reaches it through stop().
  const auto socket = connection.socket.release(ec);
  if (!ec) session.run(socket, upgrade.request);
}

}  // namespace corvane::testing
