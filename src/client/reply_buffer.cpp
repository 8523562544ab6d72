#include "client/reply_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace corvane::detail {
namespace {

constexpr std::size_t kAlignment = 64;          // the payload's boundary, and the room kept for the lead
constexpr std::size_t kFirstMapping = 1 << 20;  // a body of unknown length starts with this much
constexpr std::size_t kHugePage = 2 << 20;
constexpr std::size_t kPage = 4096;

std::size_t pageRounded(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

// Large blocks ask for huge pages: a fresh 4 KiB page costs a fault each, and a capture is thousands of them.
void adviseHugePages(void* block, std::size_t bytes) {
  if (bytes >= kHugePage) (void)madvise(block, bytes, MADV_HUGEPAGE);
}

std::byte* mapBlock(std::size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  adviseHugePages(block, bytes);
  return static_cast<std::byte*>(block);
}

// The frame's manifest length when `first` starts a frame header, else nothing to align for.
bool manifestLength(const char* first, std::size_t size, std::uint64_t& length) {
  if (size < 8 || std::memcmp(first, "CVB1", 4) != 0) return false;
  length = 0;
  for (int i = 7; i >= 4; --i) length = (length << 8) | static_cast<unsigned char>(first[i]);
  return true;
}

}  // namespace

ReplyBuffer::~ReplyBuffer() { release(); }

void ReplyBuffer::release() noexcept {
  if (storage_ == nullptr) return;
  if (mapped_) {
    munmap(storage_, capacity_);
  } else {
    ::operator delete(storage_);
  }
  storage_ = nullptr;
}

void ReplyBuffer::reserve(std::size_t bytes) {
  if (size_ != 0 || storage_ != nullptr) return;
  capacity_ = bytes + kAlignment;
  storage_ = static_cast<std::byte*>(::operator new(capacity_));
  mapped_ = false;
}

void ReplyBuffer::append(const char* data, std::size_t size) {
  if (!placed_) place(data, size);
  if (size > capacity_ - lead_ - size_) grow(lead_ + size_ + size);
  std::memcpy(storage_ + lead_ + size_, data, size);
  size_ += size;
}

// Chooses the lead from the first bytes: the payload (8 + L bytes in) then starts on a 64-byte boundary.
void ReplyBuffer::place(const char* first, std::size_t size) {
  placed_ = true;
  std::uint64_t length = 0;
  if (!manifestLength(first, size, length)) return;
  if (storage_ == nullptr) grow(kAlignment + size);
  const auto payload = reinterpret_cast<std::uintptr_t>(storage_) + 8 + length;
  lead_ = static_cast<std::size_t>((kAlignment - payload % kAlignment) % kAlignment);
}

// A mapped block grows by remapping its pages (the kernel moves page tables, not bytes). A block allocated
// for an announced length only grows when more came than announced: it then moves once into a mapping.
void ReplyBuffer::grow(std::size_t needed) {
  const std::size_t capacity = pageRounded(std::max({needed, capacity_ * 2, kFirstMapping}));
  if (mapped_) {
    void* moved = mremap(storage_, capacity_, capacity, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    adviseHugePages(moved, capacity);
    storage_ = static_cast<std::byte*>(moved);
    capacity_ = capacity;
    return;
  }
  std::byte* block = mapBlock(capacity);
  if (storage_ != nullptr) std::memcpy(block, storage_, lead_ + size_);
  release();
  storage_ = block;
  capacity_ = capacity;
  mapped_ = true;
}

}  // namespace corvane::detail
