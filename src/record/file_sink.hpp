#pragma once

// An output file written in order through a buffer, with a running CRC of what it wrote.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::record {

class FileSink {
 public:
  /// Creates or truncates `path`; throws RecordingError naming it and the system's reason.
  explicit FileSink(const std::string& path);
  ~FileSink();
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  void append(std::string_view bytes);
  /// Appends bytes left out of the running CRC (the caller accounts for them with setCrc()).
  void appendUncounted(std::string_view bytes);
  /// Overwrites bytes written before at `offset` (flushing first).
  void patch(std::uint64_t offset, std::string_view bytes);
  void setCrc(std::uint32_t crc) { crc_ = crc; }
  void flush();
  /// Flushes and closes; throws on failure.
  void close();
  std::uint64_t position() const { return position_; }
  /// The CRC of everything appended since the last resetCrc().
  std::uint32_t crc() const { return crc_; }
  void resetCrc() { crc_ = 0; }
  const std::string& path() const { return path_; }

 private:
  void store(std::string_view bytes);
  void writeAll(std::string_view bytes);
  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  std::uint64_t position_ = 0;
  std::uint32_t crc_ = 0;
};

}  // namespace corvane::record
