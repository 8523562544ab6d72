// The MCAP writer: chunks with message indexes, then a summary with its offsets, the footer and the CRCs.
#include "corvane/record/mcap_writer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "record/compression.hpp"
#include "record/file_sink.hpp"
#include "record/mcap_bytes.hpp"

namespace corvane {

using record::ByteWriter;

namespace {

struct SchemaEntry {
  std::uint16_t id;
  std::string name, encoding, data;
};
struct ChannelEntry {
  std::uint16_t id, schemaId;
  std::string topic, encoding;
  std::map<std::string, std::string> metadata;
  std::uint32_t sequence = 0;
};

void putSchema(std::string& out, const SchemaEntry& s) {
  ByteWriter w(out);
  const auto body = w.begin(record::kSchema);
  w.u16(s.id).str(s.name).str(s.encoding).str(s.data);
  w.end(body);
}

void putChannel(std::string& out, const ChannelEntry& c) {
  ByteWriter w(out);
  const auto body = w.begin(record::kChannel);
  w.u16(c.id).u16(c.schemaId).str(c.topic).str(c.encoding);
  const auto map = w.beginLength();
  for (const auto& [key, value] : c.metadata) w.str(key).str(value);
  w.endLength(map);
  w.end(body);
}

const char* compressionName(Compression c) {
  switch (c) {
    case Compression::lz4:
      return "lz4";
    case Compression::zstd:
      return "zstd";
    case Compression::none:
      break;
  }
  return "";
}

// The chunk being filled. Compressed chunks gather their records here; uncompressed ones go to the file as
// they come, behind a header patched when the chunk closes, so that large messages are never copied.
struct OpenChunk {
  std::string records;
  std::uint64_t size = 0;       // of the records so far
  std::uint32_t crc = 0;        // of the records so far
  std::uint64_t fileStart = 0;  // uncompressed: where the chunk record starts
  std::uint32_t crcBefore = 0;  // uncompressed: the data section's CRC before it
  std::uint64_t start = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t end = 0;
  std::map<std::uint16_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> index;  // (log time, offset)
  std::set<std::uint16_t> schemas, channels;
  std::chrono::steady_clock::time_point opened;
  bool empty() const { return size == 0; }
};

}  // namespace

struct McapWriter::State {
  McapWriterOptions options;
  record::FileSink sink;
  std::optional<record::Compressor> compressor;
  std::vector<SchemaEntry> schemas;
  std::vector<ChannelEntry> channels;
  OpenChunk chunk;
  std::string compressed, scratch, small;
  std::string chunkIndexes;  // the summary's Chunk Index records
  std::map<std::uint16_t, std::uint64_t> channelCounts;
  std::uint64_t messages = 0, chunks = 0, start = 0, end = 0;
  std::string failure;  // set once an I/O error happened
  bool closed = false;

  State(const std::string& path, McapWriterOptions opts) : options(std::move(opts)), sink(path) {
    if (options.compression != Compression::none) compressor.emplace(compressionName(options.compression));
  }

  void check() const {
    if (!failure.empty()) throw RecordingError(failure);
    if (closed) throw std::logic_error("recording: the writer is closed");
  }

  // Runs a step that writes to the file; its failure ends writing for good.
  template <typename F>
  void guarded(F&& step) {
    check();
    try {
      step();
    } catch (const RecordingError& e) {
      failure = e.what();
      throw;
    }
  }

  void writeStart() {
    std::string out(record::kMagic);
    ByteWriter w(out);
    const auto body = w.begin(record::kHeader);
    w.str(options.profile).str(options.library);
    w.end(body);
    sink.append(out);
  }

  // The fixed part of a chunk record's body before its records.
  static std::size_t chunkHeaderSize(const char* method) { return record::kChunkFields + std::strlen(method); }

  void putChunkHeader(std::string& out, const char* method, std::uint64_t payloadSize) const {
    ByteWriter w(out);
    w.prefix(record::kChunk, chunkHeaderSize(method) + payloadSize);
    w.u64(chunk.start).u64(chunk.end).u64(chunk.size).u32(chunk.crc).str(method).u64(payloadSize);
  }

  void openChunk() {
    chunk.opened = std::chrono::steady_clock::now();
    if (compressor) return;
    // Until the chunk closes its length reads as running past the end of any file: a reader treats it as torn.
    chunk.fileStart = sink.position();
    chunk.crcBefore = sink.crc();
    std::string placeholder;
    ByteWriter w(placeholder);
    w.prefix(record::kChunk, std::numeric_limits<std::uint64_t>::max());
    placeholder.resize(record::kRecordPrefix + chunkHeaderSize(""), '\0');
    sink.appendUncounted(placeholder);
  }

  void putRecords(std::string_view bytes) {
    chunk.size += bytes.size();
    if (compressor) {
      chunk.records.append(bytes);
    } else {
      chunk.crc = record::crc32(chunk.crc, bytes);
      sink.appendUncounted(bytes);
    }
  }

  void addToChunk(ChannelEntry& channel, std::uint64_t logTime, std::uint64_t publishTime, std::string_view data,
                  std::string_view more) {
    if (chunk.empty()) openChunk();
    small.clear();
    if (channel.schemaId != 0 && chunk.schemas.insert(channel.schemaId).second) {
      putSchema(small, schemas[channel.schemaId - 1]);
    }
    if (chunk.channels.insert(channel.id).second) putChannel(small, channel);
    chunk.index[channel.id].emplace_back(logTime, chunk.size + small.size());
    ByteWriter w(small);
    w.prefix(record::kMessage, record::kMessageFields + data.size() + more.size());
    w.u16(channel.id).u32(channel.sequence++).u64(logTime).u64(publishTime);
    putRecords(small);
    putRecords(data);
    if (!more.empty()) putRecords(more);
    chunk.start = std::min(chunk.start, logTime);
    chunk.end = std::max(chunk.end, logTime);
    start = messages == 0 ? logTime : std::min(start, logTime);
    end = messages == 0 ? logTime : std::max(end, logTime);
    ++messages;
    ++channelCounts[channel.id];
  }

  bool chunkDue() const {
    return !chunk.empty() && options.chunkInterval.count() > 0 &&
           std::chrono::steady_clock::now() - chunk.opened >= options.chunkInterval;
  }

  // Writes the compressed chunk, or completes the uncompressed one already in the file; returns the size of
  // its records as stored.
  std::uint64_t writeChunk(const char* method, std::uint64_t& chunkStart) {
    scratch.clear();
    if (compressor) {
      chunk.crc = record::crc32(0, chunk.records);
      compressor->compress(chunk.records, compressed);
      chunkStart = sink.position();
      putChunkHeader(scratch, method, compressed.size());
      sink.append(scratch);
      sink.append(compressed);
      return compressed.size();
    }
    chunkStart = chunk.fileStart;
    putChunkHeader(scratch, method, chunk.size);
    sink.patch(chunk.fileStart, scratch);
    const std::uint32_t withHeader = record::crc32Combine(chunk.crcBefore, record::crc32(0, scratch), scratch.size());
    sink.setCrc(record::crc32Combine(withHeader, chunk.crc, chunk.size));
    return chunk.size;
  }

  void flushChunk() {
    if (chunk.empty()) return;
    const char* method = compressionName(options.compression);
    std::uint64_t chunkStart = 0;
    const std::uint64_t storedSize = writeChunk(method, chunkStart);
    const std::uint64_t chunkLength = sink.position() - chunkStart;
    ByteWriter w(scratch);
    const std::uint64_t indexStart = sink.position();
    std::map<std::uint16_t, std::uint64_t> indexOffsets;
    scratch.clear();
    for (const auto& [channelId, entries] : chunk.index) {
      indexOffsets[channelId] = indexStart + scratch.size();
      const auto body = w.begin(record::kMessageIndex);
      w.u16(channelId).u32(static_cast<std::uint32_t>(entries.size() * record::kMessageIndexEntry));
      for (const auto& [time, offset] : entries) w.u64(time).u64(offset);
      w.end(body);
    }
    sink.append(scratch);
    ByteWriter ci(chunkIndexes);
    const auto body = ci.begin(record::kChunkIndex);
    ci.u64(chunk.start).u64(chunk.end).u64(chunkStart).u64(chunkLength);
    const auto map = ci.beginLength();
    for (const auto& [channelId, offset] : indexOffsets) ci.u16(channelId).u64(offset);
    ci.endLength(map);
    ci.u64(scratch.size()).str(method).u64(storedSize).u64(chunk.size);
    ci.end(body);
    sink.flush();  // a process killed from here on loses no complete chunk
    ++chunks;
    chunk.records.clear();
    chunk.size = 0;
    chunk.crc = 0;
    chunk.index.clear();
    chunk.schemas.clear();
    chunk.channels.clear();
    chunk.start = std::numeric_limits<std::uint64_t>::max();
    chunk.end = 0;
  }

  void writeSummary();
};

void McapWriter::State::writeSummary() {
  {
    std::string out;
    ByteWriter w(out);
    const auto body = w.begin(record::kDataEnd);
    w.u32(sink.crc());
    w.end(body);
    sink.append(out);
  }
  const std::uint64_t summaryStart = sink.position();
  sink.resetCrc();
  std::string summary;
  std::string offsets;
  auto group = [&](std::uint8_t opcode, auto&& fill) {
    const std::uint64_t groupStart = summaryStart + summary.size();
    fill();
    if (summaryStart + summary.size() == groupStart) return;
    ByteWriter o(offsets);
    const auto body = o.begin(record::kSummaryOffset);
    o.u8(opcode).u64(groupStart).u64(summaryStart + summary.size() - groupStart);
    o.end(body);
  };
  group(record::kSchema, [&] {
    for (const auto& s : schemas) putSchema(summary, s);
  });
  group(record::kChannel, [&] {
    for (const auto& c : channels) putChannel(summary, c);
  });
  group(record::kStatistics, [&] {
    ByteWriter w(summary);
    const auto body = w.begin(record::kStatistics);
    w.u64(messages).u16(static_cast<std::uint16_t>(schemas.size())).u32(static_cast<std::uint32_t>(channels.size()));
    w.u32(0).u32(0).u32(static_cast<std::uint32_t>(chunks)).u64(start).u64(end);
    const auto map = w.beginLength();
    for (const auto& [channelId, count] : channelCounts) w.u16(channelId).u64(count);
    w.endLength(map);
    w.end(body);
  });
  group(record::kChunkIndex, [&] { summary += chunkIndexes; });
  const std::uint64_t offsetsStart = summaryStart + summary.size();
  sink.append(summary);
  sink.append(offsets);
  std::string footer;
  ByteWriter w(footer);
  w.prefix(record::kFooter, record::kFooterBody).u64(summaryStart).u64(offsetsStart);
  sink.append(footer);
  const std::uint32_t summaryCrc = sink.crc();
  footer.clear();
  w.u32(summaryCrc).raw(record::kMagic);
  sink.append(footer);
}

McapWriter::McapWriter(const std::string& path, McapWriterOptions options)
    : state_(std::make_unique<State>(path, std::move(options))) {
  state_->writeStart();
}

McapWriter::~McapWriter() {
  try {
    close();
  } catch (...) {
    // Destructors do not throw; close() reports the same failure to a caller who asks.
  }
}

std::uint16_t McapWriter::addSchema(std::string_view name, std::string_view encoding, std::string_view data) {
  state_->check();
  auto& schemas = state_->schemas;
  for (const auto& s : schemas) {
    if (s.name == name && s.encoding == encoding && s.data == data) return s.id;
  }
  if (schemas.size() >= std::numeric_limits<std::uint16_t>::max())
    throw std::length_error("recording: too many schemas");
  schemas.push_back(
      {static_cast<std::uint16_t>(schemas.size() + 1), std::string(name), std::string(encoding), std::string(data)});
  return schemas.back().id;
}

std::uint16_t McapWriter::addChannel(std::string_view topic, std::string_view messageEncoding, std::uint16_t schemaId,
                                     const std::map<std::string, std::string>& metadata) {
  state_->check();
  if (schemaId > state_->schemas.size()) throw std::invalid_argument("recording: unknown schema id");
  auto& channels = state_->channels;
  for (const auto& c : channels) {
    if (c.topic == topic && c.encoding == messageEncoding && c.schemaId == schemaId && c.metadata == metadata) {
      return c.id;
    }
  }
  if (channels.size() >= std::numeric_limits<std::uint16_t>::max()) {
    throw std::length_error("recording: too many channels");
  }
  channels.push_back({static_cast<std::uint16_t>(channels.size() + 1), schemaId, std::string(topic),
                      std::string(messageEncoding), metadata});
  return channels.back().id;
}

void McapWriter::write(std::uint16_t channelId, std::uint64_t logTime, std::uint64_t publishTime,
                       std::string_view data) {
  write(channelId, logTime, publishTime, data, {});
}

void McapWriter::write(std::uint16_t channelId, std::uint64_t logTime, std::uint64_t publishTime, std::string_view data,
                       std::string_view more) {
  state_->check();
  if (channelId == 0 || channelId > state_->channels.size()) throw std::invalid_argument("recording: unknown channel");
  auto& s = *state_;
  s.guarded([&] {
    if (s.chunkDue()) s.flushChunk();
    s.addToChunk(s.channels[channelId - 1], logTime, publishTime, data, more);
    if (s.chunk.size >= s.options.chunkSize) s.flushChunk();
  });
}

void McapWriter::closeChunk() {
  state_->guarded([&] { state_->flushChunk(); });
}

void McapWriter::closeChunkIfDue() {
  if (state_->chunkDue()) closeChunk();
}

void McapWriter::close() {
  auto& s = *state_;
  if (s.closed) return;
  if (!s.failure.empty()) {
    s.closed = true;
    throw RecordingError(s.failure);
  }
  s.guarded([&] {
    s.flushChunk();
    s.writeSummary();
    s.sink.close();
  });
  s.closed = true;
}

std::uint64_t McapWriter::messageCount() const noexcept { return state_->messages; }
std::uint64_t McapWriter::chunkCount() const noexcept { return state_->chunks; }
std::uint64_t McapWriter::bytesWritten() const noexcept { return state_->sink.position(); }

}  // namespace corvane
