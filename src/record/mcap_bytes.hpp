#pragma once

// The bytes of recording files: little-endian integers, length-prefixed strings and maps, record prefixes (the
// record layout itself is in record/mcap_layout.hpp).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "client/utf8.hpp"
#include "corvane/record/recording_error.hpp"
#include "record/mcap_layout.hpp"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the recording format is little-endian");

namespace corvane::record {

/// Bytes that break the format, described without the file or record (the reader adds both).
class Malformed : public RecordingError {
 public:
  using RecordingError::RecordingError;
};

/// zlib's CRC-32, continued from `crc` (0 to start).
std::uint32_t crc32(std::uint32_t crc, std::string_view bytes);
/// The CRC of A followed by B from the CRCs of both and B's length.
std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);

/// Appends fields to a byte string.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}
  template <typename T>
  ByteWriter& put(T value) {
    out_.append(reinterpret_cast<const char*>(&value), sizeof value);
    return *this;
  }
  ByteWriter& u8(std::uint8_t v) { return put(v); }
  ByteWriter& u16(std::uint16_t v) { return put(v); }
  ByteWriter& u32(std::uint32_t v) { return put(v); }
  ByteWriter& u64(std::uint64_t v) { return put(v); }
  ByteWriter& str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    out_.append(s);
    return *this;
  }
  ByteWriter& raw(std::string_view s) {
    out_.append(s);
    return *this;
  }
  /// A record's prefix: its opcode and the length of its body.
  ByteWriter& prefix(std::uint8_t opcode, std::uint64_t length) { return u8(opcode).u64(length); }
  /// Opens a record: opcode and a length patched by end().
  std::size_t begin(std::uint8_t opcode) {
    prefix(opcode, 0);
    return out_.size();
  }
  void end(std::size_t bodyStart) {
    const std::uint64_t length = out_.size() - bodyStart;
    std::memcpy(&out_[bodyStart - sizeof length], &length, sizeof length);
  }
  std::size_t size() const { return out_.size(); }
  /// Reserves a u32 byte-length prefix (arrays, maps) patched by endLength().
  std::size_t beginLength() {
    u32(0);
    return out_.size();
  }
  void endLength(std::size_t start) {
    const auto length = static_cast<std::uint32_t>(out_.size() - start);
    std::memcpy(&out_[start - 4], &length, 4);
  }

 private:
  std::string& out_;
};

/// Reads fields from a record body; running past its end throws Malformed.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  explicit ByteReader(std::string&&) = delete;  // it would view a temporary
  template <typename T>
  T get() {
    T value;
    std::memcpy(&value, take(sizeof value).data(), sizeof value);
    return value;
  }
  std::uint8_t u8() { return get<std::uint8_t>(); }
  std::uint16_t u16() { return get<std::uint16_t>(); }
  std::uint32_t u32() { return get<std::uint32_t>(); }
  std::uint64_t u64() { return get<std::uint64_t>(); }
  std::string_view str() { return take(u32()); }
  /// A string the format requires to be UTF-8 (names, topics, encodings): anything else is Malformed.
  std::string_view text() {
    const std::string_view s = str();
    if (!detail::isValidUtf8(s)) throw Malformed("a string field is not UTF-8");
    return s;
  }
  std::string_view bytes64() { return take(u64()); }
  std::string_view rest() { return take(bytes_.size() - pos_); }
  std::string_view take(std::uint64_t n) {
    if (n > bytes_.size() - pos_) throw Malformed("a record ends before its fields do");
    const std::string_view part = bytes_.substr(pos_, n);
    pos_ += n;
    return part;
  }
  bool done() const { return pos_ == bytes_.size(); }
  std::size_t position() const { return pos_; }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

/// A record's opcode and the length of its body.
struct RecordPrefix {
  std::uint8_t opcode;
  std::uint64_t length;
};

/// The prefix at the start of `bytes`, which must hold kRecordPrefix bytes at least (Malformed otherwise).
inline RecordPrefix readPrefix(std::string_view bytes) {
  ByteReader r(bytes);
  const std::uint8_t opcode = r.u8();
  return {opcode, r.u64()};
}

}  // namespace corvane::record
