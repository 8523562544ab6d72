#pragma once

// A small, fast bridge stand-in for the benchmarks: one asynchronous Boost.Beast thread on 127.0.0.1 that
// answers HTTP requests with canned bodies and serves WebSocket connections that either push frames of
// one payload on request, as fast as the socket takes them, or drop whatever they are sent.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace corvane::bench {

struct ServerRoutes {
  /// HTTP: request target -> reply body (200, application/json), whatever the method. Others get "{}".
  std::map<std::string, std::string> http;
  /// WebSocket: target -> payload. Each text message the client sends there holds a count N, answered
  /// with N text frames of the payload. Any other WebSocket target reads and drops whatever it is sent.
  std::map<std::string, std::string> push;
  /// HTTP: request target -> time the reply waits before it is written (other requests go on meanwhile).
  std::map<std::string, std::chrono::milliseconds> delays;
};

class LoopbackServer {
 public:
  explicit LoopbackServer(ServerRoutes routes);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string httpBaseUrl() const;  ///< "http://127.0.0.1:<port>/"
  std::string wsBaseUrl() const;    ///< "ws://127.0.0.1:<port>/"

  struct Impl;

 private:
  ServerRoutes routes_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Impl> impl_;  // destroyed (with the sessions it still holds) before the members above
  std::thread thread_;
};

}  // namespace corvane::bench
