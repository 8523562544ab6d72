// Parsers of the records a reader needs.
#include <cstring>

#include "record/compression.hpp"
#include "record/mcap_bytes.hpp"
#include "record/reader_state.hpp"

namespace corvane::record {
namespace {

std::map<std::uint16_t, std::uint64_t> idMap(ByteReader& r) {
  ByteReader entries(r.take(r.u32()));
  std::map<std::uint16_t, std::uint64_t> map;
  while (!entries.done()) {
    const auto id = entries.u16();
    map[id] = entries.u64();
  }
  return map;
}

}  // namespace

RecordingSchema parseSchema(std::string_view body) {
  ByteReader r(body);
  RecordingSchema s;
  s.id = r.u16();
  s.name = r.text();
  s.encoding = r.text();
  s.data = r.take(r.u32());
  return s;
}

RecordingChannel parseChannel(std::string_view body) {
  ByteReader r(body);
  RecordingChannel c;
  c.id = r.u16();
  c.schemaId = r.u16();
  c.topic = r.text();
  c.messageEncoding = r.text();
  ByteReader entries(r.take(r.u32()));
  while (!entries.done()) {
    std::string key(entries.text());
    c.metadata[key] = entries.text();
  }
  return c;
}

RecordingChunk parseChunkIndex(std::string_view body) {
  ByteReader r(body);
  RecordingChunk c;
  c.startTime = r.u64();
  c.endTime = r.u64();
  c.offset = r.u64();
  c.length = r.u64();
  c.messageIndexOffsets = idMap(r);
  c.messageIndexLength = r.u64();
  c.compression = r.text();
  c.compressedSize = r.u64();
  c.uncompressedSize = r.u64();
  return c;
}

RecordingStatistics parseStatistics(std::string_view body) {
  ByteReader r(body);
  RecordingStatistics s;
  s.messageCount = r.u64();
  r.u16();
  r.u32();
  r.u32();
  r.u32();
  r.u32();
  s.startTime = r.u64();
  s.endTime = r.u64();
  s.channelMessageCounts = idMap(r);
  return s;
}

ChunkBody parseChunk(std::string_view body) {
  ByteReader r(body);
  ChunkBody c{};
  c.startTime = r.u64();
  c.endTime = r.u64();
  c.uncompressedSize = r.u64();
  c.crc = r.u32();
  c.compression = r.text();
  c.records = r.bytes64();
  return c;
}

MessageBody parseMessage(std::string_view body) {
  ByteReader r(body);
  MessageBody m{};
  m.channelId = r.u16();
  m.sequence = r.u32();
  m.logTime = r.u64();
  m.publishTime = r.u64();
  m.data = r.rest();
  return m;
}

std::string parseMetadataName(std::string_view body) {
  ByteReader r(body);
  return std::string(r.text());
}

std::string parseMetadataIndexName(std::string_view body) {
  ByteReader r(body);
  r.u64();  // the metadata record's offset
  r.u64();  // and length
  return std::string(r.text());
}

void checkRecords(const ChunkBody& chunk, std::string_view records) {
  if (records.size() != chunk.uncompressedSize) {
    throw Malformed("holds " + std::to_string(records.size()) + " bytes of records, not the " +
                    std::to_string(chunk.uncompressedSize) + " it states");
  }
  if (chunk.crc != 0 && crc32(0, records) != chunk.crc) throw Malformed("fails its CRC check");
}

void checkClaim(const ChunkBody& chunk, std::uint64_t limit) {
  if (chunk.uncompressedSize > limit) {
    throw Malformed("claims " + std::to_string(chunk.uncompressedSize) + " bytes uncompressed, more than the " +
                    std::to_string(limit) + " the reader accepts");
  }
}

std::string chunkRecords(const ChunkBody& chunk, std::uint64_t limit) {
  checkClaim(chunk, limit);
  std::string records = decompress(chunk.compression, chunk.records, chunk.uncompressedSize);
  checkRecords(chunk, records);
  return records;
}

}  // namespace corvane::record
