#pragma once

// The simulated bridge's server: HTTP and WebSocket on one port, served by a small pool of I/O threads,
// with captures rendered on a separate pool.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "scene.hpp"

namespace bridge_sim {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;      ///< 0: an ephemeral port
  bool log = false;            ///< one line per request on stderr
  unsigned ioThreads = 0;      ///< 0: two, or more on machines with more cores
  unsigned renderThreads = 0;  ///< 0: one per core
  std::size_t maxBodyBytes = 1u << 20;
  double stepRate = 120.0;   ///< scene steps per second
  double streamRate = 60.0;  ///< stream samples per second
  bool textured = false;     ///< cameras render the textured, noisy look (render.hpp)
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Binds and listens (throws std::runtime_error when it cannot), then starts the threads.
  void start();
  /// Stops accepting, drops every connection and joins the threads. Idempotent.
  void stop();

  std::uint16_t port() const;
  std::string httpUrl() const;  ///< "http://host:port/"
  std::string wsUrl() const;    ///< "ws://host:port/"
  Scene& scene();
  /// Connections (HTTP and stream) whose socket is still open; for tests of the clean-up.
  int openConnections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bridge_sim
