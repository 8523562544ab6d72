#pragma once

// What a client with reuseConnections keeps between calls. Connections live in "lanes": multi handles, each
// used by one call at a time (libcurl does not support one connection cache used by concurrent threads), so
// a call borrows an idle lane, runs its attempts on fresh easy handles inside it, and gives it back with its
// connections. Name lookups and TLS sessions are shared by every lane through one locked share object.
#include <array>
#include <mutex>
#include <vector>

#include "client/curl_handle.hpp"

namespace corvane::detail {

class ConnectionPool {
 public:
  /// Throws SetupError when libcurl cannot make the share object.
  ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;
  ~ConnectionPool();

  /// The share object every easy handle of the client's lanes is given (CURLOPT_SHARE).
  CURLSH* share() const noexcept { return share_.get(); }
  /// The most recently returned idle lane, or a new one; throws SetupError when none can be made.
  MultiHandle acquire();
  /// Gives a lane back; it must hold no easy handle.
  void release(MultiHandle lane) noexcept;

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) noexcept;
  static void unlock(CURL*, curl_lock_data data, void* self) noexcept;

  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
  ShareHandle share_;
  std::mutex mutex_;
  std::vector<MultiHandle> idle_;  // destroyed (closing the connections) before the share they refer to
};

/// The multi handle one call or batch runs on: a lane borrowed from the pool (given back at the end), or
/// without a pool a fresh one of its own. Made on first use, after the call's first easy handle, so that
/// libcurl's implicit global set-up still happens in curl_easy_init.
class MultiScope {
 public:
  explicit MultiScope(ConnectionPool* pool) noexcept : pool_(pool) {}
  MultiScope(const MultiScope&) = delete;
  MultiScope& operator=(const MultiScope&) = delete;
  ~MultiScope();

  CURLM* get();

 private:
  ConnectionPool* pool_;
  MultiHandle multi_;
};

}  // namespace corvane::detail
