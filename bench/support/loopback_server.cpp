#include "loopback_server.hpp"

#include <array>
#include <cstdlib>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace corvane::bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct LoopbackServer::Impl {
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
};

namespace {

// A pushing session waits for the client to ask for frames (a text message holding a count), then writes
// that many pre-encoded frames in one gathered write straight to the socket, so that the server costs next
// to nothing per frame and the client side is what gets measured. The count bounds what is in flight:
// libcurl's receive buffer grows without limit while a peer sends faster than it is read (see
// docs/performance.md). A swallowing session reads and drops whatever arrives.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(tcp::socket socket, const std::string* payload) : ws_(std::move(socket)), payload_(payload) {}

  void start(http::request<http::string_body> upgrade) {
    ws_.async_accept(upgrade, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      if (self->payload_ != nullptr) {
        self->frame_ = encodedFrame(*self->payload_);
        self->awaitRequest();
      } else {
        self->swallow();
      }
    });
  }

 private:
  // One unmasked final text frame, as a server sends it.
  static std::string encodedFrame(const std::string& payload) {
    std::string frame(1, '\x81');
    if (payload.size() < 126) {
      frame.push_back(static_cast<char>(payload.size()));
    } else if (payload.size() <= 0xFFFF) {
      frame.push_back(static_cast<char>(126));
      for (int shift = 8; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((payload.size() >> shift) & 0xFF));
    } else {
      frame.push_back(static_cast<char>(127));
      for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((payload.size() >> shift) & 0xFF));
    }
    return frame + payload;
  }

  void awaitRequest() {
    ws_.async_read(request_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return;
      const std::string text = beast::buffers_to_string(self->request_.data());
      self->request_.clear();
      self->push(std::strtoul(text.c_str(), nullptr, 10));
    });
  }

  void push(std::size_t count) {
    frames_.assign(count, asio::buffer(frame_));
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
  const std::string* payload_;
  std::string frame_;
  beast::flat_buffer request_;
  std::vector<asio::const_buffer> frames_;
  std::array<char, 256 * 1024> sink_;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, const ServerRoutes& routes)
      : socket_(std::move(socket)), routes_(routes), timer_(socket_.get_executor()) {}

  void read() {
    request_ = {};
    http::async_read(socket_, buffer_, request_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (!ec) self->answer();
    });
  }

 private:
  void answer() {
    if (websocket::is_upgrade(request_)) {
      const auto found = routes_.push.find(std::string(request_.target()));
      const std::string* payload = found == routes_.push.end() ? nullptr : &found->second;
      std::make_shared<WebSocketSession>(std::move(socket_), payload)->start(std::move(request_));
      return;
    }
    const auto found = routes_.http.find(std::string(request_.target()));
    response_ = {http::status::ok, request_.version()};
    response_.set(http::field::content_type, "application/json");
    response_.body() = found == routes_.http.end() ? std::string("{}") : found->second;
    response_.keep_alive(request_.keep_alive());
    response_.prepare_payload();
    const auto delay = routes_.delays.find(std::string(request_.target()));
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
  const ServerRoutes& routes_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::string_body> response_;
  asio::steady_timer timer_;
};

void acceptNext(tcp::acceptor& acceptor, const ServerRoutes& routes) {
  acceptor.async_accept([&acceptor, &routes](beast::error_code ec, tcp::socket socket) {
    if (ec) return;  // the acceptor was closed: the server is stopping
    socket.set_option(tcp::no_delay(true));
    std::make_shared<HttpSession>(std::move(socket), routes)->read();
    acceptNext(acceptor, routes);
  });
}

}  // namespace

LoopbackServer::LoopbackServer(ServerRoutes routes) : routes_(std::move(routes)), impl_(std::make_unique<Impl>()) {
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen(asio::socket_base::max_listen_connections);
  port_ = impl_->acceptor.local_endpoint().port();
  acceptNext(impl_->acceptor, routes_);
  thread_ = std::thread([this] { impl_->io.run(); });
}

LoopbackServer::~LoopbackServer() {
  impl_->io.stop();
  thread_.join();
}

std::string LoopbackServer::httpBaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
std::string LoopbackServer::wsBaseUrl() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/"; }

}  // namespace corvane::bench
