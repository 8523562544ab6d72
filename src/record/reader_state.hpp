#pragma once

// What an open recording holds, shared by the reader and its cursors, and the parsers of its records.
#include <string>
#include <string_view>

#include "corvane/record/recording_reader.hpp"
#include "record/mcap_bytes.hpp"

namespace corvane {

struct detail::RecordingReaderState {
  std::string path;
  RecordingReaderOptions options;
  int fd = -1;
  std::uint64_t size = 0;
  bool indexed = false;
  bool cutShort = false;
  std::uint64_t torn = 0;
  std::string profile, library;
  std::map<std::uint16_t, RecordingSchema> schemas;
  std::map<std::uint16_t, RecordingChannel> channels;
  std::vector<RecordingChunk> chunks;
  /// Messages outside chunks, found by the scan: stretches of whole records from one message to another, each
  /// read at once as a chunk's records are, described by offset, length and time range.
  std::vector<RecordingChunk> runs;
  RecordingStatistics statistics;
  RecordingSkipped skipped;
  std::vector<std::string> metadataNames;

  ~RecordingReaderState();
  /// Exactly `length` bytes at `offset`, no more than options.maxRecordSize; throws RecordingError otherwise.
  std::string readAt(std::uint64_t offset, std::uint64_t length) const;
  /// Throws RecordingError naming the file.
  [[noreturn]] void fail(const std::string& what) const;
  /// Runs `parse` over the record `what` at byte `offset`, naming both and the file in what it throws.
  template <typename Parse>
  auto parsing(const char* what, std::uint64_t offset, Parse&& parse) const {
    try {
      return parse();
    } catch (const record::Malformed& e) {
      fail(std::string(what) + " at byte " + std::to_string(offset) + ": " + e.what());
    }
  }
};

namespace record {

struct ChunkBody {
  std::uint64_t startTime, endTime, uncompressedSize;
  std::uint32_t crc;
  std::string_view compression, records;
};

struct MessageBody {
  std::uint16_t channelId;
  std::uint32_t sequence;
  std::uint64_t logTime, publishTime;
  std::string_view data;
};

RecordingSchema parseSchema(std::string_view body);
RecordingChannel parseChannel(std::string_view body);
RecordingChunk parseChunkIndex(std::string_view body);
RecordingStatistics parseStatistics(std::string_view body);
ChunkBody parseChunk(std::string_view body);
MessageBody parseMessage(std::string_view body);
/// The name of a metadata record, or of the record a metadata index points at.
std::string parseMetadataName(std::string_view body);
std::string parseMetadataIndexName(std::string_view body);
/// Checks uncompressed records against the chunk's size and CRC.
void checkRecords(const ChunkBody& chunk, std::string_view records);
/// Throws Malformed when the chunk claims to decompress to more than `limit` bytes.
void checkClaim(const ChunkBody& chunk, std::uint64_t limit);
/// The chunk's records, decompressed (at most `limit` bytes) and checked against its CRC and size.
std::string chunkRecords(const ChunkBody& chunk, std::uint64_t limit);

/// Calls `visit(opcode, body)` for each record of `bytes`, which they must fill exactly.
template <typename Visit>
void forEachRecord(std::string_view bytes, Visit&& visit) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < kRecordPrefix) throw Malformed("a record is cut short at +" + std::to_string(pos));
    const RecordPrefix prefix = readPrefix(bytes.substr(pos));
    if (prefix.length > bytes.size() - pos - kRecordPrefix) {
      throw Malformed("a record is cut short at +" + std::to_string(pos));
    }
    visit(prefix.opcode, bytes.substr(pos + kRecordPrefix, prefix.length), pos);
    pos += kRecordPrefix + prefix.length;
  }
}

}  // namespace record
}  // namespace corvane
