#include "client/reply_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace corvane::detail {
namespace {

constexpr std::size_t kAlignment = 64;          // the payload's boundary, and the room kept for the lead
constexpr std::size_t kFirstMapping = 1 << 20;  // a body of unknown length starts with this much
constexpr std::size_t kHugePage = 2 << 20;
constexpr std::size_t kPage = 4096;

constexpr std::size_t kKeptMinimum = 1 << 20;               // smaller blocks are cheap to fault in again
constexpr std::size_t kKeptLimit = std::size_t{256} << 20;  // the most kept in all
constexpr std::size_t kKeptBlocks = 2;

struct Block {
  std::byte* storage;
  std::size_t capacity;
};

// Freed blocks of announced bodies, kept for the next replies of about their size (any thread may free a
// frame, hence the lock). Never destroyed: a frame may outlive every static.
class KeptBlocks {
 public:
  static KeptBlocks& instance() {
    static auto* kept = new KeptBlocks();  // NOLINT(cppcoreguidelines-owning-memory): lives until exit
    return *kept;
  }

  // A kept block of at least `capacity` bytes and not twice as large, or null.
  std::byte* take(std::size_t capacity, std::size_t& taken) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto block = blocks_.begin(); block != blocks_.end(); ++block) {
      if (block->capacity < capacity || block->capacity / 2 > capacity) continue;
      std::byte* storage = block->storage;
      taken = block->capacity;
      bytes_ -= taken;
      blocks_.erase(block);
      return storage;
    }
    return nullptr;
  }

  // Keeps the block, the oldest ones making room; false when it is not worth keeping (the caller frees it).
  bool give(std::byte* storage, std::size_t capacity) noexcept {
    if (capacity < kKeptMinimum || capacity > kKeptLimit) return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
      blocks_.reserve(kKeptBlocks);
    } catch (const std::bad_alloc&) {
      return false;
    }
    while (!blocks_.empty() && (blocks_.size() >= kKeptBlocks || bytes_ + capacity > kKeptLimit)) {
      bytes_ -= blocks_.front().capacity;
      ::operator delete(blocks_.front().storage);
      blocks_.erase(blocks_.begin());
    }
    blocks_.push_back({storage, capacity});
    bytes_ += capacity;
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<Block> blocks_;  // oldest first
  std::size_t bytes_ = 0;
};

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
  } else if (!KeptBlocks::instance().give(storage_, capacity_)) {
    ::operator delete(storage_);
  }
  storage_ = nullptr;
}

void ReplyBuffer::reserve(std::size_t bytes) {
  if (size_ != 0 || storage_ != nullptr) return;
  capacity_ = bytes + kAlignment;
  std::size_t kept = 0;
  if (capacity_ >= kKeptMinimum) storage_ = KeptBlocks::instance().take(capacity_, kept);
  if (storage_ != nullptr) {
    capacity_ = kept;
  } else {
    storage_ = static_cast<std::byte*>(::operator new(capacity_));
  }
  mapped_ = false;
}

void ReplyBuffer::append(const char* data, std::size_t size) {
  if (size == 0) return;
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
