#pragma once

// One HTTP connection: reads requests (keep-alive and pipelining allowed), answers them through the
// route table, hands WebSocket upgrades to a stream session, and notices a client that hangs up while
// its answer is still being waited for.
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "server_context.hpp"

namespace bridge_sim {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket&& socket, ServerContext& context);
  ~HttpSession();
  void run();

 private:
  void readHeader();
  void onHeader(boost::beast::error_code ec);
  void readBody();
  void onBody(boost::beast::error_code ec);
  void failRead(boost::beast::error_code ec);
  void handle();
  void upgrade();
  Respond responder();
  void write(Reply reply);
  void onWrite(bool keepAlive, boost::beast::error_code ec);
  void watchForHangUp();
  void onReadable(boost::beast::error_code ec);
  void close();

  ServerContext& context_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  std::shared_ptr<boost::beast::http::response<boost::beast::http::string_body>> response_;
  std::shared_ptr<void> hold_;
  std::string method_, target_;
  bool keepAlive_ = false;
  bool waiting_ = false;  ///< an answer is pending and the socket is watched for a hang-up
  bool closed_ = false;
  bool upgraded_ = false;
  std::chrono::steady_clock::time_point started_;
  std::atomic<std::thread::id> dispatchingThread_{};
};

}  // namespace bridge_sim
