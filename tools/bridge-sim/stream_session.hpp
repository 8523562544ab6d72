#pragma once

// One open articulation stream. Samples go out as JSON text at a fixed rate; a reader that falls behind
// gets the newest sample, never a growing backlog ("seq" numbers show what it missed). On the joint
// position stream the client may send JSON targets, which start an asynchronous move.
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "routes.hpp"
#include "server_context.hpp"

namespace bridge_sim {

class StreamSession : public std::enable_shared_from_this<StreamSession> {
 public:
  StreamSession(boost::asio::ip::tcp::socket&& socket, ServerContext& context, StreamKind kind, std::string primPath);
  ~StreamSession();
  void run(boost::beast::http::request<boost::beast::http::string_body> request);

 private:
  void onAccept(boost::beast::error_code ec);
  void scheduleTick();
  void onTick(boost::beast::error_code ec);
  void read();
  void onRead(boost::beast::error_code ec);
  void handleMessage(const std::string& text);
  void pump();
  void finish(boost::beast::websocket::close_code code, const std::string& reason);

  ServerContext& context_;
  StreamKind kind_;
  std::string primPath_;
  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::asio::steady_timer timer_;
  std::chrono::steady_clock::time_point nextTick_;
  boost::beast::flat_buffer readBuffer_;
  std::optional<std::string> latest_;  ///< newest sample not yet sent
  std::deque<std::string> replies_;    ///< answers to client messages, bounded
  std::string sending_;
  bool writing_ = false;
  bool done_ = false;
  std::uint64_t seq_ = 0;
};

}  // namespace bridge_sim
