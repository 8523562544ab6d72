#include "live/http_gate.hpp"

#include <boost/beast/websocket/rfc6455.hpp>

#include "live/protocol.hpp"
#include "live/viewer.hpp"

namespace corvane::live {
namespace {

constexpr auto kRequestTime = std::chrono::seconds(5);  // a slow-loris client is cut off after this
constexpr std::size_t kHeaderLimit = 8U << 10;

}  // namespace

HttpGate::HttpGate(Hub& hub, net::ip::tcp::socket socket, ConnectionSlot slot)
    : hub_(hub), stream_(std::move(socket)), slot_(std::move(slot)) {
  parser_.header_limit(kHeaderLimit);
  parser_.body_limit(0);
}

void HttpGate::start() {
  stream_.expires_after(kRequestTime);
  http::async_read(stream_, buffer_, parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
}

void HttpGate::onRead(beast::error_code ec) {
  if (ec) {
    ++hub_.refused;
    return;  // the socket closes with this object
  }
  http::request<http::string_body> request = parser_.release();
  if (beast::websocket::is_upgrade(request)) {
    const auto offered = request[http::field::sec_websocket_protocol];
    std::string subprotocol = chooseSubprotocol({offered.data(), offered.size()});
    if (subprotocol.empty()) {
      ++hub_.refused;
      return respond(http::status::bad_request, "text/plain",
                     "Sec-WebSocket-Protocol must offer foxglove.websocket.v1 or foxglove.sdk.v1\n");
    }
    auto viewer = std::make_shared<Viewer>(hub_, std::move(stream_), std::move(subprotocol), std::move(*slot_));
    return viewer->accept(request);
  }
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    return respond(http::status::method_not_allowed, "text/plain", "GET only\n");
  }
  if (request.target() == "/" || request.target() == "/index.html") {
    return respond(http::status::ok, "text/html; charset=utf-8", kPage);
  }
  respond(http::status::not_found, "text/plain", "not found\n");
}

void HttpGate::respond(http::status status, std::string_view type, std::string body) {
  response_ = {status, 11};
  response_.set(http::field::server, hub_.options.name);
  response_.set(http::field::content_type, std::string(type));
  response_.set(http::field::cache_control, "no-store");
  response_.keep_alive(false);
  response_.body() = std::move(body);
  response_.prepare_payload();
  http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code, std::size_t) {
    beast::error_code ignored;
    self->stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
  });
}

}  // namespace corvane::live
