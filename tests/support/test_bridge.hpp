#pragma once

// An in-process stand-in for the bridge: a Boost.Beast server on 127.0.0.1 (ephemeral port). Scripted (for
// tests), it answers from a per-test script and records every request exactly as received; WebSocket
// upgrades on any path are accepted (or refused on demand) and handed to a WebSocketPeer that the test
// drives. Canned (for benchmarks), it answers from fixed routes at next to no cost per request.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::testing {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string target;
  Fields headers;  ///< in arrival order, names as sent
  std::string body;
  std::chrono::steady_clock::time_point arrival;  ///< when the request head was read

  /// First header named `name` (ASCII case ignored), or nullptr.
  const std::string* header(std::string_view name) const;
};

/// One scripted answer.
struct Reply {
  int status = 200;
  Fields headers;
  std::string body;
  std::optional<std::string> raw;      ///< sent verbatim (then the connection closes) instead of a response
  std::chrono::milliseconds delay{0};  ///< wait this long before answering
  bool closeWithoutAnswer = false;     ///< drop the connection instead of answering
  bool reset = false;                  ///< end the connection with a TCP reset (SO_LINGER 0), after `raw` if set

  static Reply json(int status, std::string body);
  /// A capture reply: `frame` as application/octet-stream.
  static Reply frame(int status, std::string frame);
  static Reply rawBytes(std::string bytes);
  static Reply hangUp();
  /// `bytes` verbatim, then a TCP reset instead of an orderly close.
  static Reply resetAfter(std::string bytes);
  static Reply delayed(std::chrono::milliseconds delay, Reply reply);
};

/// How the bridge answers a WebSocket upgrade request (the request itself is always recorded).
enum class UpgradeAnswer {
  accept,           ///< 101, then a WebSocketPeer the test drives
  refuse,           ///< 404 with the body "no such stream"
  hangUp,           ///< close the connection without answering
  stall,            ///< never answer (until the bridge shuts down)
  acceptThenClose,  ///< 101, then at once a close frame (normal closure)
};

/// The bridge's end of one accepted WebSocket connection. Writes may be queued from any thread; they go
/// out in order on the connection's own thread. Everything the client sends is recorded.
class WebSocketPeer {
 public:
  ~WebSocketPeer();
  WebSocketPeer(const WebSocketPeer&) = delete;
  WebSocketPeer& operator=(const WebSocketPeer&) = delete;

  const std::string& target() const;  ///< the upgrade request's target, as received

  void sendText(std::string payload);    ///< one text frame
  void sendBinary(std::string payload);  ///< one binary frame
  /// One text message sent as one frame per fragment; with `pingBetween`, a ping follows every fragment
  /// but the last.
  void sendFragmented(std::vector<std::string> fragments, bool pingBetween);
  void sendPing(std::string payload = {});
  /// A close frame (normal closure). The closing handshake then waits for the client's close frame.
  void sendClose();
  /// Pre-built frame bytes (see websocket_frame.hpp) written straight to the socket, `chunk` bytes at a
  /// time with `pause` between.
  void sendRaw(std::string bytes, std::size_t chunk, std::chrono::milliseconds pause);
  /// Once the writes queued before it went out, ends the TCP connection without a closing handshake:
  /// an orderly close (FIN), or with `reset` a TCP reset (SO_LINGER 0).
  void dropConnection(bool reset = false);
  /// Holds back every write queued after it for `delay`.
  void pause(std::chrono::milliseconds delay);
  /// Waits until every queued write has gone out; false on timeout or when the connection is gone first.
  bool flush(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  /// Text messages received from the client, in order (empty ones included).
  std::vector<std::string> textMessages() const;
  /// Waits until at least `count` text messages arrived or `timeout` passed, then returns them all.
  std::vector<std::string> waitForTextMessages(std::size_t count,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  int binaryMessages() const;        ///< binary messages received (the client never should send one)
  int closeFrames() const;           ///< close frames received from the client
  std::string closePayload() const;  ///< reason text of the last close frame received
  bool waitForCloseFrames(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  int pongs() const;  ///< pong frames received from the client
  bool waitForPongs(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  /// Waits until the connection is gone (the client hung up or the session ended).
  bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  struct Impl;

 private:
  friend class TestBridge;
  explicit WebSocketPeer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

/// The fixed answers of a canned bridge, by request target. Nothing is recorded.
struct CannedRoutes {
  /// HTTP: target -> reply body (200, application/json), whatever the method. Other targets get "{}".
  std::map<std::string, std::string, std::less<>> http;
  /// WebSocket: target -> payload. Each text message the client sends there holds a count N, answered with
  /// N pre-encoded text frames of the payload in one write. Other targets read and drop what they are sent.
  std::map<std::string, std::string, std::less<>> push;
  /// HTTP: target -> time its reply waits before it is written (other requests go on meanwhile).
  std::map<std::string, std::chrono::milliseconds, std::less<>> delays;
};

class TestBridge {
 public:
  /// Scripted, on `port` of 127.0.0.1 (0: an ephemeral one), e.g. the port of a bridge that just stopped.
  explicit TestBridge(std::uint16_t port = 0);
  explicit TestBridge(CannedRoutes routes);
  ~TestBridge();
  TestBridge(const TestBridge&) = delete;
  TestBridge& operator=(const TestBridge&) = delete;

  std::uint16_t port() const { return port_; }
  std::string baseUrl() const;    ///< "http://127.0.0.1:<port>/"
  std::string wsBaseUrl() const;  ///< "ws://127.0.0.1:<port>/"

  /// Queues `reply` for the next `times` requests; requests past the queue get the fallback.
  void enqueue(const Reply& reply, int times = 1);
  /// The answer when the queue is empty (initially 200 with body "{}").
  void setFallback(Reply reply);
  /// Every request for `target` gets `reply`, before the queue and the fallback are consulted.
  void setReplyFor(std::string target, Reply reply);
  /// A keep-alive connection left idle this long between requests is closed (0: kept until the client
  /// closes it).
  void setKeepAliveIdle(std::chrono::milliseconds idle);
  /// TCP connections accepted so far.
  std::size_t connectionCount() const;

  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  /// The most recent request; fails the current test when there is none.
  RecordedRequest lastRequest() const;

  /// A loopback port on which nothing listens (for refused connections).
  static std::uint16_t closedPort();

  /// How later WebSocket upgrades are answered (initially: accepted).
  void setUpgradeAnswer(UpgradeAnswer answer);
  /// Later accepted WebSocket connections start reading from the client only after `delay` (so that the
  /// client's sends fill the socket buffers and come back partial).
  void setWebSocketReadDelay(std::chrono::milliseconds delay);
  /// The `index`-th accepted WebSocket connection (0-based), waiting up to `timeout` for it to be accepted;
  /// null (and a test failure) when it never comes.
  std::shared_ptr<WebSocketPeer> webSocket(std::size_t index = 0,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  struct Connection;
  struct Upgrade;
  void serveUpgrade(Connection& connection, Upgrade& upgrade);
  void listen(std::uint16_t port);
  void acceptNext();
  void adopt(std::unique_ptr<Connection> connection);
  void serve(Connection& connection);
  Reply nextReply(const std::string& target);
  bool awaitNextRequest(Connection& connection, std::size_t buffered);
  void record(RecordedRequest request);
  bool waitUnlessStopping(std::chrono::milliseconds delay);
  void reapFinished();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint16_t port_ = 0;
  std::optional<CannedRoutes> canned_;  ///< push payloads held as pre-encoded frames

  mutable std::mutex mutex_;
  std::condition_variable stopCv_;
  bool stopping_ = false;
  std::deque<Reply> queue_;
  Reply fallback_ = Reply::json(200, "{}");
  std::map<std::string, Reply> targetReplies_;
  std::chrono::milliseconds keepAliveIdle_{0};
  std::size_t connectionCount_ = 0;
  std::vector<RecordedRequest> requests_;
  std::list<std::unique_ptr<Connection>> connections_;
  UpgradeAnswer upgradeAnswer_ = UpgradeAnswer::accept;
  std::chrono::milliseconds webSocketReadDelay_{0};
  std::vector<std::shared_ptr<WebSocketPeer>> peers_;
  std::condition_variable peerCv_;
  std::thread ioThread_;  ///< accepts connections, and serves them when canned
};

}  // namespace corvane::testing
