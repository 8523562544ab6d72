#pragma once

// Finding records in a recording's bytes, for tests that alter a field of one: offsets come from the record
// layout the writer and the reader share (record/mcap_layout.hpp), never from counting bytes by hand.
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "record/mcap_layout.hpp"

namespace corvane::testing {

/// A record in a file: where it starts (its opcode) and the length of its body.
struct McapRecord {
  std::size_t offset = 0;
  std::uint64_t length = 0;
  std::size_t body() const { return offset + record::kRecordPrefix; }
  std::size_t end() const { return body() + length; }
};

namespace detail {

template <typename T>
T read(std::string_view bytes, std::size_t at) {
  T value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// Counts down `nth` over the records of [pos, end) with `opcode`, looking inside uncompressed chunks.
inline bool findIn(std::string_view bytes, std::size_t pos, std::size_t end, std::uint8_t opcode, std::size_t& nth,
                   McapRecord& found) {
  while (end - pos >= record::kRecordPrefix) {
    const McapRecord r{pos, read<std::uint64_t>(bytes, pos + 1)};
    if (r.length > end - r.body()) return false;
    const auto op = static_cast<std::uint8_t>(bytes[pos]);
    if (op == opcode && nth-- == 0) {
      found = r;
      return true;
    }
    // An uncompressed chunk: the length of the compression's name, after the CRC, is 0.
    if (op == record::kChunk && r.length >= record::kChunkFields &&
        read<std::uint32_t>(bytes, r.body() + record::kChunkCrcAt + 4) == 0 &&
        findIn(bytes, r.body() + record::kChunkFields, r.end(), opcode, nth, found)) {
      return true;
    }
    pos = r.end();
  }
  return false;
}

}  // namespace detail

/// The `nth` record (from 0) with `opcode` in a whole file's bytes, in file order, those inside uncompressed
/// chunks included; throws std::out_of_range when there is none.
inline McapRecord findRecord(std::string_view file, std::uint8_t opcode, std::size_t nth = 0) {
  McapRecord found;
  if (!detail::findIn(file, record::kMagic.size(), file.size(), opcode, nth, found)) {
    throw std::out_of_range("no record " + std::to_string(opcode) + " in the file");
  }
  return found;
}

}  // namespace corvane::testing
