#include "client/connection_pool.hpp"

#include <utility>

namespace corvane::detail {
namespace {

void shareOption(CURLSH* share, CURLSHoption option, long value) {
  const CURLSHcode code = curl_share_setopt(share, option, value);
  if (code != CURLSHE_OK) throw SetupError(std::string("curl_share_setopt failed: ") + curl_share_strerror(code), 0);
}

}  // namespace

MultiHandle makeBoundedMulti(int maxConnections) {
  MultiHandle multi = makeMultiHandle();
  const CURLMcode code = curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(maxConnections));
  if (code != CURLM_OK) throw SetupError(std::string("curl_multi_setopt failed: ") + curl_multi_strerror(code), 0);
  return multi;
}

ConnectionPool::ConnectionPool() : share_(curl_share_init()) {
  if (!share_) throw SetupError("Failed to initialize libcurl", 0);
  shareOption(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  shareOption(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  if (curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &ConnectionPool::lock) != CURLSHE_OK ||
      curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &ConnectionPool::unlock) != CURLSHE_OK ||
      curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, static_cast<void*>(this)) != CURLSHE_OK) {
    throw SetupError("curl_share_setopt failed: cannot install the share's locks", 0);
  }
}

ConnectionPool::~ConnectionPool() { idle_.clear(); }

Lane ConnectionPool::acquire(int maxConnections) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!idle_.empty()) {
      Lane lane = std::move(idle_.back());
      idle_.pop_back();
      return lane;
    }
  }
  return Lane{makeBoundedMulti(maxConnections), {}};
}

void ConnectionPool::release(Lane lane, int maxIdle) noexcept {
  Lane closed;  // closed after the lock is released: closing connections takes time
  std::lock_guard<std::mutex> guard(mutex_);
  if (maxIdle < 1) return;
  if (idle_.size() >= static_cast<std::size_t>(maxIdle)) {
    closed = std::move(idle_.front());
    idle_.erase(idle_.begin());
  }
  try {
    idle_.push_back(std::move(lane));
  } catch (...) {
    // No room to keep it: the lane is closed with its connections when `lane` goes out of scope.
  }
}

// libcurl asks for one lock per kind of shared data; it never nests two locks of the same kind.
void ConnectionPool::lock(CURL*, curl_lock_data data, curl_lock_access, void* self) noexcept {
  auto& locks = static_cast<ConnectionPool*>(self)->locks_;
  if (static_cast<std::size_t>(data) < locks.size()) locks[data].lock();
}

void ConnectionPool::unlock(CURL*, curl_lock_data data, void* self) noexcept {
  auto& locks = static_cast<ConnectionPool*>(self)->locks_;
  if (static_cast<std::size_t>(data) < locks.size()) locks[data].unlock();
}

MultiScope::~MultiScope() {
  if (pool_ != nullptr && lane_.multi) pool_->release(std::move(lane_), maxConnections_);
}

CURLM* MultiScope::multi() {
  if (!lane_.multi)
    lane_ = pool_ != nullptr ? pool_->acquire(maxConnections_) : Lane{makeBoundedMulti(maxConnections_), {}};
  return lane_.multi.get();
}

EasyHandle MultiScope::takeHandle() {
  if (pool_ != nullptr && !lane_.multi) multi();  // the lane's spare handles come with it
  if (lane_.spare.empty()) return makeEasyHandle();
  EasyHandle handle = std::move(lane_.spare.back());
  lane_.spare.pop_back();
  curl_easy_reset(handle.get());
  return handle;
}

void MultiScope::giveBack(EasyHandle handle) noexcept {
  constexpr std::size_t kSpareLimit = 16;  // more than a lane's usual batch; the rest are freed
  if (pool_ == nullptr || lane_.spare.size() >= kSpareLimit) return;
  try {
    lane_.spare.push_back(std::move(handle));
  } catch (...) {
    // No room to keep it: freed with `handle`.
  }
}

}  // namespace corvane::detail
