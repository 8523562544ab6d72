#pragma once

#include <cstddef>

namespace corvane::detail {

/// The body of a reply that a frame keeps and hands out views of: one contiguous block whose bytes never
/// move or get copied once they arrived. Room for an announced length is allocated once, up front; without
/// an announcement the block grows by remapping its pages (mremap), which moves no byte.
///
/// Fresh pages cost a page fault each, which for a 22.8 MB reply costs more than reading it: the blocks of
/// announced bodies of 1 MiB or more are kept when their buffer goes (at most two, 256 MiB in all, for the
/// process) and serve the next reply of about their size, whose pages are then already there.
///
/// The payload of a camera frame starts 8 + L bytes into the body (L: the manifest length). When the first
/// bytes arrive the body is placed so that the payload starts on a 64-byte boundary, so outputs whose offsets
/// are multiples of their element size come out naturally aligned. Bodies that are not frames just go in.
class ReplyBuffer {
 public:
  ReplyBuffer() = default;
  ReplyBuffer(const ReplyBuffer&) = delete;
  ReplyBuffer& operator=(const ReplyBuffer&) = delete;
  ~ReplyBuffer();

  /// Room for `bytes` of body, allocated before they come. Only while the body is empty; throws
  /// std::bad_alloc when there is no memory for it.
  void reserve(std::size_t bytes);
  /// Appends bytes; throws std::bad_alloc when the block cannot grow.
  void append(const char* data, std::size_t size);

  [[nodiscard]] const std::byte* data() const noexcept { return storage_ + lead_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }

 private:
  void place(const char* first, std::size_t size);
  void grow(std::size_t needed);
  void release() noexcept;

  std::byte* storage_ = nullptr;
  std::size_t capacity_ = 0;  // bytes of storage_, lead included
  std::size_t lead_ = 0;      // bytes left unused in front of the body
  std::size_t size_ = 0;
  bool mapped_ = false;  // storage_ comes from mmap (grown by mremap), not from operator new
  bool placed_ = false;  // the lead is chosen
};

}  // namespace corvane::detail
