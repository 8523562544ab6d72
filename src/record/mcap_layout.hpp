#pragma once

// The MCAP record layout, written once for the writer, the reader and the tests that alter files: the magic
// bytes, the opcodes, every record's prefix and the sizes of the fixed fields the code steps over.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::record {

enum Opcode : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kAttachment = 0x09,
  kAttachmentIndex = 0x0A,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

/// The opcodes this layout defines; a reader passes over any other record by its length.
constexpr bool knownOpcode(std::uint8_t opcode) { return opcode >= kHeader && opcode <= kDataEnd; }

inline constexpr std::string_view kMagic{"\x89MCAP0\r\n", 8};
/// Every record starts with its opcode (u8) and the length of its body (u64).
inline constexpr std::size_t kRecordPrefix = 1 + 8;
/// A message's fields before its data: channel id (u16), sequence (u32), log and publish times (u64).
inline constexpr std::size_t kMessageFields = 2 + 4 + 8 + 8;
/// A message index entry: a log time and an offset in the chunk's records (u64 each).
inline constexpr std::size_t kMessageIndexEntry = 8 + 8;
/// Where a chunk's CRC lies in its body: after its start and end times and its uncompressed size (u64).
inline constexpr std::size_t kChunkCrcAt = 8 + 8 + 8;
/// A chunk's fields before its records, but for the compression's name: the CRC (u32), the name's length
/// (u32) and the records' length (u64) after the fields before the CRC.
inline constexpr std::size_t kChunkFields = kChunkCrcAt + 4 + 4 + 8;
/// The footer's body: where the summary and its offsets start (u64) and the summary's CRC (u32).
inline constexpr std::size_t kFooterBody = 8 + 8 + 4;
inline constexpr std::size_t kFooterRecord = kRecordPrefix + kFooterBody;
/// A complete file ends with its footer record and the magic bytes.
inline constexpr std::size_t kFileTail = kFooterRecord + kMagic.size();

}  // namespace corvane::record
