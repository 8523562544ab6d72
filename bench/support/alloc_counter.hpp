#pragma once

// Counts what goes through operator new in this process (the binary that links alloc_counter.cpp
// replaces the global allocation operators): allocations, bytes, and the peak of live bytes.
#include <cstddef>

namespace corvane::bench {

struct AllocStats {
  std::size_t allocations = 0;  ///< operator new calls
  std::size_t bytes = 0;        ///< bytes handed out (usable sizes)
  std::size_t peakLive = 0;     ///< highest live bytes above the level at start
};

/// Counts the allocations made while it lives, on any thread or (`thisThreadOnly`) on the thread that made
/// it, e.g. to leave out an in-process server's. One at a time.
class AllocScope {
 public:
  explicit AllocScope(bool thisThreadOnly = false);
  ~AllocScope();
  AllocScope(const AllocScope&) = delete;
  AllocScope& operator=(const AllocScope&) = delete;
  AllocStats stats() const;
};

}  // namespace corvane::bench
