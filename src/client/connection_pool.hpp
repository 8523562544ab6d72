#pragma once

// What a client with reuseConnections keeps between calls. Connections live in "lanes": multi handles, each
// used by one call at a time (libcurl does not support one connection cache used by concurrent threads), so
// a call borrows an idle lane, runs its attempts inside it, and gives it back with its connections. A lane
// also keeps the easy handles its attempts used, reset (curl_easy_reset: every option back to its default)
// before each new attempt: making and freeing a handle per attempt cost about 15 % of a reused GET's CPU.
// Name lookups and TLS sessions are shared by every lane through one locked share object.
#include <array>
#include <mutex>
#include <vector>

#include "client/curl_handle.hpp"

namespace corvane::detail {

/// A multi handle that keeps at most `maxConnections` idle connections; throws SetupError when none can be made.
MultiHandle makeBoundedMulti(int maxConnections);

struct Lane {
  MultiHandle multi;
  std::vector<EasyHandle> spare;  // handles of finished attempts, outside the multi handle
};

class ConnectionPool {
 public:
  /// Throws SetupError when libcurl cannot make the share object.
  ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;
  ~ConnectionPool();

  /// The share object every easy handle of the client's lanes is given (CURLOPT_SHARE).
  CURLSH* share() const noexcept { return share_.get(); }
  /// The most recently returned idle lane, or a new one keeping at most `maxConnections` idle connections;
  /// throws SetupError when none can be made.
  Lane acquire(int maxConnections);
  /// Gives a lane back; its multi handle must hold no easy handle. At most `maxIdle` lanes are kept: past
  /// that the least recently returned one is closed with its connections (a burst of concurrent calls
  /// leaves no more idle sockets behind than one call may open).
  void release(Lane lane, int maxIdle) noexcept;

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) noexcept;
  static void unlock(CURL*, curl_lock_data data, void* self) noexcept;

  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
  ShareHandle share_;
  std::mutex mutex_;
  std::vector<Lane> idle_;  // destroyed (closing the connections) before the share they refer to
};

/// The handles one call or batch runs on. With a pool: a borrowed lane (given back at the end) and its
/// spare easy handles, reset for each attempt. Without: a multi handle of its own and a fresh easy handle
/// per attempt, freed when the attempt ends. Everything is made on first use; without a pool the first easy
/// handle comes before the multi handle, so that libcurl's implicit global set-up happens in curl_easy_init
/// as it did before the multi interface (a pool's share handle has set libcurl up already).
class MultiScope {
 public:
  /// `maxConnections`: the most idle connections a multi handle made here keeps.
  MultiScope(ConnectionPool* pool, int maxConnections) noexcept : pool_(pool), maxConnections_(maxConnections) {}
  MultiScope(const MultiScope&) = delete;
  MultiScope& operator=(const MultiScope&) = delete;
  ~MultiScope();

  CURLM* multi();
  /// An easy handle in its just-made state; throws SetupError when none can be made.
  EasyHandle takeHandle();
  /// Takes back the handle of a finished attempt (already out of the multi handle).
  void giveBack(EasyHandle handle) noexcept;

 private:
  ConnectionPool* pool_;
  int maxConnections_;
  Lane lane_;
};

}  // namespace corvane::detail
