// Replacement global allocation operators that feed AllocScope. Sizes come from malloc_usable_size, so
// frees need no bookkeeping of their own.
#include "alloc_counter.hpp"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace corvane::bench {
namespace {

std::atomic<bool> gCounting{false};
std::atomic<std::size_t> gAllocations{0};
std::atomic<std::size_t> gBytes{0};
std::atomic<long long> gLive{0};
std::atomic<long long> gPeak{0};
std::atomic<bool> gThisThreadOnly{false};
thread_local bool tCountedThread = false;

bool counting() {
  return gCounting.load(std::memory_order_relaxed) &&
         (tCountedThread || !gThisThreadOnly.load(std::memory_order_relaxed));
}

void* allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  if (counting()) {
    const std::size_t usable = malloc_usable_size(block);
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    gBytes.fetch_add(usable, std::memory_order_relaxed);
    const long long live = gLive.fetch_add(static_cast<long long>(usable)) + static_cast<long long>(usable);
    long long peak = gPeak.load();
    while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
    }
  }
  return block;
}

void release(void* block) noexcept {
  if (block == nullptr) return;
  if (counting()) gLive.fetch_sub(static_cast<long long>(malloc_usable_size(block)));
  std::free(block);
}

}  // namespace

AllocScope::AllocScope(bool thisThreadOnly) {
  gAllocations = 0;
  gBytes = 0;
  gLive = 0;
  gPeak = 0;
  gThisThreadOnly = thisThreadOnly;
  tCountedThread = true;
  gCounting = true;
}

AllocScope::~AllocScope() {
  gCounting = false;
  tCountedThread = false;
}

AllocStats AllocScope::stats() const {
  return {gAllocations.load(), gBytes.load(), static_cast<std::size_t>(gPeak.load())};
}

}  // namespace corvane::bench

// Blocks freed while counting but allocated before it make the live level dip below zero; the peak is
// measured from the level at the start, which is what the callers want.
void* operator new(std::size_t size) { return corvane::bench::allocate(size); }
void* operator new[](std::size_t size) { return corvane::bench::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return corvane::bench::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { corvane::bench::release(block); }
void operator delete[](void* block) noexcept { corvane::bench::release(block); }
void operator delete(void* block, std::size_t) noexcept { corvane::bench::release(block); }
void operator delete[](void* block, std::size_t) noexcept { corvane::bench::release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { corvane::bench::release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { corvane::bench::release(block); }
