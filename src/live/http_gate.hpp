#pragma once

// A new connection's first request, read within a bound: a WebSocket upgrade becomes a viewer, GET / the page.
#include <memory>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "live/hub.hpp"

namespace corvane::live {

/// The page served at "/" (src/live/page/index.html).
extern const char* const kPage;

class HttpGate : public std::enable_shared_from_this<HttpGate> {
 public:
  HttpGate(Hub& hub, net::ip::tcp::socket socket, ConnectionSlot slot);
  void start();

 private:
  void onRead(boost::beast::error_code ec);
  void respond(boost::beast::http::status status, std::string_view type, std::string body);

  Hub& hub_;
  boost::beast::tcp_stream stream_;
  std::optional<ConnectionSlot> slot_;
  boost::beast::flat_buffer buffer_;
  boost::beast::http::request_parser<boost::beast::http::string_body> parser_;
  boost::beast::http::response<boost::beast::http::string_body> response_;
};

}  // namespace corvane::live
