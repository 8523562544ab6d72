#pragma once

// State every connection shares: the scene, the options, the render pool with its memory budget, and logging.
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include "handlers.hpp"
#include "server.hpp"

namespace bridge_sim {

class ServerContext final : public Services {
 public:
  ServerContext(const ServerOptions& options, unsigned renderThreads);
  /// Finishes the renders, then destroys the I/O context (and with it every connection) while the
  /// render budget it releases still exists.
  ~ServerContext() override;

  Scene& scene() override { return scene_; }
  void atStep(std::int64_t step, std::function<void()> then) override;
  void render(std::function<void(std::shared_ptr<void>)> job) override;

  void logRequest(std::string_view method, std::string_view target, unsigned status, std::size_t bytes,
                  std::chrono::steady_clock::time_point started) const;
  /// Waits for running renders; queued ones are dropped (their connections are gone with the I/O context).
  void stopRendering();

  boost::asio::io_context& io() { return *io_; }
  /// Connections whose socket is open: HTTP connections and streams.
  std::atomic<int> openConnections{0};
  const ServerOptions& options() const { return options_; }
  bool texturedRender() const override { return options_.textured; }

 private:
  void release();
  void waitAgain(const std::shared_ptr<boost::asio::steady_timer>& timer, std::int64_t step,
                 std::function<void()> then);

  const ServerOptions options_;
  std::unique_ptr<boost::asio::io_context> io_;
  Scene scene_;
  boost::asio::thread_pool renderPool_;
  std::mutex renderMutex_;
  unsigned inFlight_ = 0;
  bool renderingStopped_ = false;
  const unsigned maxInFlight_;
  std::deque<std::function<void(std::shared_ptr<void>)>> waiting_;
};

}  // namespace bridge_sim
