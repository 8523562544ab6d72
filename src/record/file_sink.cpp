#include "record/file_sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "record/mcap_bytes.hpp"

namespace corvane::record {
namespace {

constexpr std::size_t kBufferSize = 256U << 10;

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
  throw RecordingError("recording: cannot " + what + " " + path + ": " + std::strerror(error));
}

}  // namespace

FileSink::FileSink(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) fail("create", path, errno);
  buffer_.reserve(kBufferSize);
}

FileSink::~FileSink() {
  if (fd_ >= 0) ::close(fd_);
}

void FileSink::append(std::string_view bytes) {
  crc_ = crc32(crc_, bytes);
  store(bytes);
}

void FileSink::appendUncounted(std::string_view bytes) { store(bytes); }

void FileSink::patch(std::uint64_t offset, std::string_view bytes) {
  flush();
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write", path_, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
}

void FileSink::store(std::string_view bytes) {
  position_ += bytes.size();
  if (buffer_.size() + bytes.size() <= kBufferSize) {
    buffer_.append(bytes);
    return;
  }
  flush();
  if (bytes.size() < kBufferSize) {
    buffer_.append(bytes);
  } else {
    writeAll(bytes);
  }
}

void FileSink::flush() {
  if (buffer_.empty()) return;
  writeAll(buffer_);
  buffer_.clear();
}

void FileSink::writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      buffer_.clear();
      fail("write", path_, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void FileSink::close() {
  if (fd_ < 0) return;
  flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) fail("close", path_, errno);
}

}  // namespace corvane::record
