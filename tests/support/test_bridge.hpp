#pragma once

// An in-process stand-in for the bridge: a Boost.Beast server on 127.0.0.1 (ephemeral port) that answers
// from a per-test script and records every request exactly as received.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
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
  std::optional<std::string> raw;           ///< sent verbatim (then the connection closes) instead of a response
  std::chrono::milliseconds delay{0};       ///< wait this long before answering
  bool closeWithoutAnswer = false;          ///< drop the connection instead of answering

  static Reply json(int status, std::string body);
  static Reply rawBytes(std::string bytes);
  static Reply hangUp();
  static Reply delayed(std::chrono::milliseconds delay, Reply reply);
};

class TestBridge {
 public:
  TestBridge();
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

  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  /// The most recent request; fails the current test when there is none.
  RecordedRequest lastRequest() const;

  /// A loopback port on which nothing listens (for refused connections).
  static std::uint16_t closedPort();

 private:
  struct Connection;
  void acceptLoop();
  void serve(Connection& connection);
  Reply nextReply();
  void record(RecordedRequest request);
  bool waitUnlessStopping(std::chrono::milliseconds delay);
  void reapFinished();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint16_t port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable stopCv_;
  bool stopping_ = false;
  std::deque<Reply> queue_;
  Reply fallback_;
  std::vector<RecordedRequest> requests_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::thread acceptor_;
};

}  // namespace corvane::testing
