#pragma once

// The inside of a WebSocketPeer: a Beast WebSocket stream on its own io_context, run by the connection's
// thread. Writes queued by the test are posted there and performed one after another.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "test_bridge.hpp"

namespace corvane::testing {

struct WebSocketPeer::Impl {
  using Done = std::function<void()>;
  using Write = std::function<void(Done)>;  ///< starts one write; calls Done when it has finished
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  explicit Impl(std::string upgradeTarget) : target(std::move(upgradeTarget)) {}

  /// Takes over the accepted socket, completes the handshake and serves until the connection ends or
  /// stop() is called. Runs on the connection's thread.
  void run(boost::asio::ip::tcp::socket::native_handle_type socket, const Request& request);
  /// Makes run() return as soon as possible; callable from any thread.
  void stop() { io.stop(); }
  /// Queues one write (any thread).
  void enqueue(Write write);
  int closeCount() const;
  void recordClose(std::string reason);

  boost::asio::io_context io;
  boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws{io};
  boost::asio::steady_timer timer{io};      ///< pauses between writes
  boost::asio::steady_timer readTimer{io};  ///< the delay before the first read
  std::chrono::milliseconds readDelay{0};
  boost::beast::flat_buffer readBuffer;
  const std::string target;

  // Touched only on the connection's thread.
  std::deque<Write> writes;
  bool writing = false;

  // Shared with the test thread.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> texts;
  int binaries = 0;
  int closes = 0;
  std::string closeReason;
  int pongs = 0;
  std::size_t unfinishedWrites = 0;
  bool ended = false;

 private:
  void readNext();
  void startNextWrite();
  void onControlFrame(boost::beast::websocket::frame_type kind, boost::beast::string_view payload);
  void finish();
};

}  // namespace corvane::testing
