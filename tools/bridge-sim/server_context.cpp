#include "server_context.hpp"

#include <algorithm>
#include <cstdio>

#include <boost/asio/post.hpp>

namespace bridge_sim {

namespace asio = boost::asio;

ServerContext::ServerContext(const ServerOptions& serverOptions, unsigned renderThreads)
    : options_(serverOptions),
      io_(std::make_unique<asio::io_context>(static_cast<int>(std::max(1u, serverOptions.ioThreads)))),
      scene_(serverOptions.stepRate),
      renderPool_(renderThreads),
      // Finished frames wait in memory until sent; a few per render thread keep the pool busy without
      // letting many slow readers pile up large frames.
      maxInFlight_(std::max(2u, renderThreads * 2)) {}

ServerContext::~ServerContext() {
  stopRendering();
  io_.reset();
}

void ServerContext::atStep(std::int64_t step, std::function<void()> then) {
  waitAgain(std::make_shared<asio::steady_timer>(*io_), step, std::move(then));
}

void ServerContext::waitAgain(const std::shared_ptr<asio::steady_timer>& timer, std::int64_t step,
                              std::function<void()> then) {
  timer->expires_at(scene_.timeOfStep(step) + std::chrono::microseconds(200));
  timer->async_wait([this, timer, step, then = std::move(then)](const boost::system::error_code& ec) mutable {
    if (ec) return;
    if (scene_.step() < step) return waitAgain(timer, step, std::move(then));
    then();
  });
}

void ServerContext::render(std::function<void(std::shared_ptr<void>)> job) {
  {
    const std::lock_guard<std::mutex> lock(renderMutex_);
    if (inFlight_ >= maxInFlight_) {
      waiting_.push_back(std::move(job));
      return;
    }
    ++inFlight_;
  }
  std::shared_ptr<void> token(nullptr, [this](void*) { release(); });
  asio::post(renderPool_, [job = std::move(job), token = std::move(token)]() mutable { job(std::move(token)); });
}

void ServerContext::release() {
  std::function<void(std::shared_ptr<void>)> next;
  {
    const std::lock_guard<std::mutex> lock(renderMutex_);
    if (waiting_.empty()) {
      --inFlight_;
      return;
    }
    next = std::move(waiting_.front());
    waiting_.pop_front();
  }
  std::shared_ptr<void> token(nullptr, [this](void*) { release(); });
  asio::post(renderPool_, [next = std::move(next), token = std::move(token)]() mutable { next(std::move(token)); });
}

void ServerContext::stopRendering() {
  {
    const std::lock_guard<std::mutex> lock(renderMutex_);
    if (renderingStopped_) return;
    renderingStopped_ = true;
    waiting_.clear();
  }
  renderPool_.join();
}

void ServerContext::logRequest(std::string_view method, std::string_view target, unsigned status, std::size_t bytes,
                               std::chrono::steady_clock::time_point started) const {
  if (!options_.log) return;
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  char line[160];
  const int prefix = std::snprintf(line, sizeof line, " -> %u (%zu bytes, %.1f ms)\n", status, bytes, ms);
  std::string text;
  text.reserve(method.size() + target.size() + static_cast<std::size_t>(prefix) + 2);
  text.append(method).append(" ").append(target).append(line);
  std::fwrite(text.data(), 1, text.size(), stderr);  // one write per line, so threads do not interleave
}

}  // namespace bridge_sim
