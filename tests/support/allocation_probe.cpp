#include "allocation_probe.hpp"

#include <curl/curl.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace corvane::testing::allocation {
namespace {

// Trivial thread-locals: usable from operator new at any point of a thread's life.
thread_local std::size_t tCalls = 0;
thread_local std::size_t tBytes = 0;
thread_local std::size_t tFailFrom = 0;  // 0: never fail

std::atomic<std::size_t> curlLive{0};
std::atomic<std::size_t> curlPeak{0};

void curlTook(void* p) {
  if (p == nullptr) return;
  const std::size_t now = curlLive.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::size_t peak = curlPeak.load();
  while (now > peak && !curlPeak.compare_exchange_weak(peak, now)) {
  }
}

void curlGave(void* p) {
  if (p != nullptr) curlLive.fetch_sub(malloc_usable_size(p));
}

void* curlMalloc(size_t size) {
  void* p = std::malloc(size);
  curlTook(p);
  return p;
}

void curlFree(void* p) {
  curlGave(p);
  std::free(p);
}

void* curlRealloc(void* p, size_t size) {
  const std::size_t before = p != nullptr ? malloc_usable_size(p) : 0;
  void* q = std::realloc(p, size);
  if (q == nullptr && size != 0) return nullptr;  // the old block is still libcurl's
  curlLive.fetch_sub(before);
  curlTook(q);
  return q;
}

char* curlStrdup(const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(curlMalloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

void* curlCalloc(size_t count, size_t size) {
  void* p = std::calloc(count, size);
  curlTook(p);
  return p;
}

const bool kCurlCounting =
    curl_global_init_mem(CURL_GLOBAL_DEFAULT, curlMalloc, curlFree, curlRealloc, curlStrdup, curlCalloc) == CURLE_OK;

}  // namespace

ThreadCounts threadCounts() { return {tCalls, tBytes}; }

bool operatorNewCounted() {
  const std::size_t before = tCalls;
  ::operator delete(::operator new(16));  // a direct call: never elided like a new-expression may be
  return tCalls != before;
}
bool curlCounting() { return kCurlCounting; }
std::size_t curlLiveBytes() { return curlLive.load(); }
std::size_t curlPeakBytes() { return curlPeak.load(); }
void resetCurlPeak() { curlPeak.store(curlLive.load()); }

FailLargeAllocations::FailLargeAllocations(std::size_t bytes) { tFailFrom = bytes; }
FailLargeAllocations::~FailLargeAllocations() { tFailFrom = 0; }

}  // namespace corvane::testing::allocation

namespace probe = corvane::testing::allocation;

void* operator new(std::size_t size) {
  ++probe::tCalls;
  probe::tBytes += size;
  if (probe::tFailFrom != 0 && size >= probe::tFailFrom) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// The nothrow forms (std::stable_sort's buffer) take the same road, so every block meets the free() below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
// Not inlined: GCC would otherwise see free() meet operator new and warn about a mismatch that is none.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
