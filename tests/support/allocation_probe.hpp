#pragma once

// Memory accounting for tests that must prove the client's memory use is bounded, or that an allocation
// failure inside a libcurl callback ends a request cleanly. Linking allocation_probe.cpp into a test binary
// replaces the global operator new/delete and hands libcurl counting allocators (curl_global_init_mem,
// before main). Link it only into binaries that need it.
#include <cstddef>

namespace corvane::testing::allocation {

/// operator new calls made by the calling thread, and the bytes they asked for, since it started.
struct ThreadCounts {
  std::size_t calls = 0;
  std::size_t bytes = 0;
};
ThreadCounts threadCounts();
/// Whether this binary's operator new is the one in use (valgrind replaces it unless told not to:
/// --soname-synonyms=somalloc=nouserintercepts). Without it nothing is counted and nothing fails.
bool operatorNewCounted();

/// Whether libcurl took the counting allocators (false if something initialised libcurl first).
bool curlCounting();
/// Bytes libcurl holds right now.
std::size_t curlLiveBytes();
/// The most libcurl held at once since the last resetCurlPeak().
std::size_t curlPeakBytes();
void resetCurlPeak();

/// While alive, every operator new of the constructing thread that asks for `bytes` or more throws
/// std::bad_alloc. Other threads are not affected.
class FailLargeAllocations {
 public:
  explicit FailLargeAllocations(std::size_t bytes);
  ~FailLargeAllocations();
  FailLargeAllocations(const FailLargeAllocations&) = delete;
  FailLargeAllocations& operator=(const FailLargeAllocations&) = delete;
};

}  // namespace corvane::testing::allocation
