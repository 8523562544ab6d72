// Opening a recording: the summary through the footer, or a scan of the records when there is none.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "record/compression.hpp"
#include "record/mcap_bytes.hpp"
#include "record/reader_state.hpp"

namespace corvane {

using record::ByteReader;

detail::RecordingReaderState::~RecordingReaderState() {
  if (fd >= 0) ::close(fd);
}

std::string detail::RecordingReaderState::readAt(std::uint64_t offset, std::uint64_t length) const {
  if (offset > size || length > size - offset) {
    fail(std::to_string(length) + " bytes at byte " + std::to_string(offset) + " reach past its end (" +
         std::to_string(size) + " bytes)");
  }
  if (length > options.maxRecordSize) {
    fail("the record at byte " + std::to_string(offset) + " is " + std::to_string(length) + " bytes, more than the " +
         std::to_string(options.maxRecordSize) + " the reader accepts");
  }
  std::string bytes(length, '\0');
  std::uint64_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw RecordingError("recording: cannot read " + path + ": " + std::strerror(n < 0 ? errno : EIO));
    done += static_cast<std::uint64_t>(n);
  }
  return bytes;
}

void detail::RecordingReaderState::fail(const std::string& what) const {
  throw RecordingError("recording: " + path + ": " + what);
}

namespace {

using State = detail::RecordingReaderState;

// The magic and a complete header record: a file with less is not a recording, not even one cut short.
void readHeader(State& s) {
  if (s.size < record::kMagic.size() || s.readAt(0, record::kMagic.size()) != record::kMagic) {
    s.fail("not an MCAP file");
  }
  const std::uint64_t at = record::kMagic.size();
  if (s.size < at + record::kRecordPrefix) s.fail("not a recording: it ends after the magic bytes");
  const auto prefix = record::readPrefix(s.readAt(at, record::kRecordPrefix));
  if (prefix.opcode != record::kHeader) s.fail("not a recording: no header record follows the magic bytes");
  if (prefix.length > s.size - at - record::kRecordPrefix) s.fail("not a recording: its header record is cut short");
  const std::string bodyBytes = s.readAt(at + record::kRecordPrefix, prefix.length);
  s.parsing("the header", at, [&] {
    ByteReader body(bodyBytes);
    s.profile = body.text();
    s.library = body.text();
  });
}

// A chunk index must point at a chunk inside the data section, after the previous one.
void checkChunkIndexes(State& s, std::uint64_t summaryStart) {
  std::uint64_t end = record::kMagic.size();
  for (const RecordingChunk& c : s.chunks) {
    if (c.offset < end || c.offset > summaryStart || c.length > summaryStart - c.offset ||
        c.length < record::kRecordPrefix) {
      s.fail("the summary's index of the chunk at byte " + std::to_string(c.offset) + " (" + std::to_string(c.length) +
             " bytes) does not fit the data section [8, " + std::to_string(summaryStart) +
             ") after the chunk before it");
    }
    end = c.offset + c.length;
  }
}

void takeSummaryRecord(State& s, std::uint8_t op, std::string_view body, bool& haveStatistics) {
  if (op == record::kSchema) {
    auto schema = record::parseSchema(body);
    s.schemas[schema.id] = std::move(schema);
  } else if (op == record::kChannel) {
    auto channel = record::parseChannel(body);
    s.channels[channel.id] = std::move(channel);
  } else if (op == record::kChunkIndex) {
    s.chunks.push_back(record::parseChunkIndex(body));
  } else if (op == record::kStatistics) {
    s.statistics = record::parseStatistics(body);
    haveStatistics = true;
  } else if (op == record::kAttachmentIndex) {
    ++s.skipped.attachments;
  } else if (op == record::kMetadataIndex) {
    s.metadataNames.push_back(record::parseMetadataIndexName(body));
  } else if (!record::knownOpcode(op)) {
    ++s.skipped.unknownRecords;
  }
}

// Reads the summary through the footer; false when the file has none to use: no footer, no statistics, or
// messages the chunk indexes do not cover (a file written without chunks).
bool readSummary(State& s) {
  s.cutShort = true;
  if (s.size < record::kMagic.size() + record::kFileTail ||
      s.readAt(s.size - record::kMagic.size(), record::kMagic.size()) != record::kMagic) {
    return false;
  }
  const std::uint64_t footerAt = s.size - record::kFileTail;
  const std::string footer = s.readAt(footerAt, record::kFooterRecord);
  const auto prefix = record::readPrefix(footer);
  if (prefix.opcode != record::kFooter || prefix.length != record::kFooterBody) return false;
  s.cutShort = false;
  ByteReader f(std::string_view(footer).substr(record::kRecordPrefix));
  const std::uint64_t summaryStart = f.u64();
  const std::uint64_t offsetsStart = f.u64();
  const std::uint32_t crc = f.u32();
  if (summaryStart == 0) return false;
  if (summaryStart < record::kMagic.size() + record::kRecordPrefix || summaryStart > footerAt ||
      (offsetsStart != 0 && (offsetsStart < summaryStart || offsetsStart > footerAt))) {
    s.fail("the footer at byte " + std::to_string(footerAt) + " points outside the file");
  }
  // The summary's CRC covers the footer up to the CRC itself.
  const std::string summary = s.readAt(summaryStart, s.size - record::kMagic.size() - 4 - summaryStart);
  if (crc != 0 && record::crc32(0, summary) != crc) s.fail("the summary fails its CRC check");
  const std::uint64_t end = (offsetsStart != 0 ? offsetsStart : footerAt) - summaryStart;
  bool haveStatistics = false;
  s.parsing("the summary", summaryStart, [&] {
    record::forEachRecord(std::string_view(summary).substr(0, end), [&](auto op, auto body, std::size_t pos) {
      s.parsing("the summary record", summaryStart + pos, [&] { takeSummaryRecord(s, op, body, haveStatistics); });
    });
  });
  if (!haveStatistics || (s.chunks.empty() && s.statistics.messageCount > 0)) return false;
  std::sort(s.chunks.begin(), s.chunks.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
  checkChunkIndexes(s, summaryStart);
  return true;
}

// Adds `count` messages on `channel` logged from `first` to `last` to the statistics the scan gathers.
void tally(RecordingStatistics& stats, std::uint16_t channel, std::uint64_t count, std::uint64_t first,
           std::uint64_t last) {
  stats.startTime = stats.messageCount == 0 ? first : std::min(stats.startTime, first);
  stats.endTime = stats.messageCount == 0 ? last : std::max(stats.endTime, last);
  stats.channelMessageCounts[channel] += count;
  stats.messageCount += count;
}

// Which count of RecordingSkipped a chunk left out adds to.
using SkipReason = std::uint64_t RecordingSkipped::*;

// The records of a chunk found while scanning, decompressed, or the reason to leave the chunk out. A chunk
// claiming more than the reader accepts refuses the file, as through the indexes.
SkipReason scanRecords(State& s, std::uint64_t offset, std::string_view body, record::ChunkBody& chunk,
                       std::string& records) {
  try {
    chunk = record::parseChunk(body);
  } catch (const record::Malformed&) {
    return &RecordingSkipped::chunksMalformed;
  }
  s.parsing("the chunk", offset, [&] { record::checkClaim(chunk, s.options.maxRecordSize); });
  try {
    records = record::decompress(chunk.compression, chunk.records, chunk.uncompressedSize);
  } catch (const record::Malformed&) {
    return chunk.compression.empty() ? &RecordingSkipped::chunksMalformed : &RecordingSkipped::chunksUndecompressed;
  }
  if (chunk.crc != 0 && record::crc32(0, records) != chunk.crc) return &RecordingSkipped::chunksFailingCrc;
  return nullptr;
}

// Takes in a complete chunk found while scanning, unless it fails its checks (counted in `skipped`). Its time
// range is that of the messages it holds.
void scanChunk(State& s, std::uint64_t offset, std::string_view body) {
  record::ChunkBody chunk{};
  std::string records;
  if (const SkipReason reason = scanRecords(s, offset, body, chunk, records)) {
    ++(s.skipped.*reason);
    return;
  }
  std::map<std::uint16_t, std::uint64_t> counts;
  std::uint64_t first = std::numeric_limits<std::uint64_t>::max(), last = 0, orphans = 0;
  std::vector<RecordingSchema> schemas;
  std::map<std::uint16_t, RecordingChannel> channels;
  try {
    record::forEachRecord(records, [&](std::uint8_t op, std::string_view inner, auto) {
      if (op == record::kSchema) {
        schemas.push_back(record::parseSchema(inner));
      } else if (op == record::kChannel) {
        auto channel = record::parseChannel(inner);
        channels.emplace(channel.id, std::move(channel));
      } else if (op == record::kMessage) {
        const auto m = record::parseMessage(inner);
        if (channels.count(m.channelId) == 0 && s.channels.count(m.channelId) == 0) {
          ++orphans;  // its channel's record was in a chunk left out
          return;
        }
        ++counts[m.channelId];
        first = std::min(first, m.logTime);
        last = std::max(last, m.logTime);
      }
    });
  } catch (const record::Malformed&) {
    ++s.skipped.chunksMalformed;
    return;
  }
  for (auto& schema : schemas) s.schemas.emplace(schema.id, std::move(schema));
  s.channels.merge(channels);
  s.skipped.messagesWithoutChannel += orphans;
  for (const auto& [id, n] : counts) tally(s.statistics, id, n, first, last);
  s.chunks.push_back({counts.empty() ? chunk.startTime : first,
                      counts.empty() ? chunk.endTime : last,
                      offset,
                      record::kRecordPrefix + body.size(),
                      std::string(chunk.compression),
                      chunk.records.size(),
                      chunk.uncompressedSize,
                      {},
                      0});
}

// The most bytes of records outside chunks read at once, unless one message needs more.
constexpr std::uint64_t kRunBytes = 1 << 20;

// Takes in a message outside chunks (`head` holds its prefix and as much of its fields as the record does): it
// joins the run of records before it, or opens a run of its own when that would make the run too long.
void scanMessage(State& s, std::uint64_t pos, std::uint64_t length, std::string_view head) {
  if (record::kRecordPrefix + length > s.options.maxRecordSize) {
    s.fail("the message at byte " + std::to_string(pos) + " is " + std::to_string(length) + " bytes, more than the " +
           std::to_string(s.options.maxRecordSize) + " the reader accepts");
  }
  const auto m =
      s.parsing("the message", pos, [&] { return record::parseMessage(head.substr(record::kRecordPrefix)); });
  if (s.channels.count(m.channelId) == 0) {  // its channel's record was in a chunk left out
    ++s.skipped.messagesWithoutChannel;
    return;
  }
  const std::uint64_t end = pos + record::kRecordPrefix + length;
  if (s.runs.empty() || end - s.runs.back().offset > std::min(kRunBytes, s.options.maxRecordSize)) {
    RecordingChunk run;
    run.offset = pos;
    run.startTime = run.endTime = m.logTime;
    s.runs.push_back(std::move(run));
  }
  RecordingChunk& run = s.runs.back();
  run.length = end - run.offset;
  run.uncompressedSize = run.compressedSize = run.length;
  run.startTime = std::min(run.startTime, m.logTime);
  run.endTime = std::max(run.endTime, m.logTime);
  tally(s.statistics, m.channelId, 1, m.logTime, m.logTime);
}

// Takes in the record at `pos` of the data section, or counts it as passed over. `head` holds its prefix and
// the start of its body.
void scanRecord(State& s, std::uint64_t pos, const record::RecordPrefix& prefix, std::string_view head) {
  const std::uint8_t op = prefix.opcode;
  if (op == record::kMessage) return scanMessage(s, pos, prefix.length, head);
  if (op == record::kAttachment) ++s.skipped.attachments;
  if (!record::knownOpcode(op)) ++s.skipped.unknownRecords;
  if (op != record::kSchema && op != record::kChannel && op != record::kChunk && op != record::kMetadata) return;
  const std::string body = s.readAt(pos + record::kRecordPrefix, prefix.length);
  if (op == record::kSchema) {
    auto schema = s.parsing("the schema", pos, [&] { return record::parseSchema(body); });
    s.schemas.emplace(schema.id, std::move(schema));
  } else if (op == record::kChannel) {
    auto channel = s.parsing("the channel", pos, [&] { return record::parseChannel(body); });
    s.channels.emplace(channel.id, std::move(channel));
  } else if (op == record::kMetadata) {
    s.metadataNames.push_back(s.parsing("the metadata", pos, [&] { return record::parseMetadataName(body); }));
  } else {
    scanChunk(s, pos, body);  // one that fails its checks is left out
  }
}

// Bytes after the footer record ending at `end`, but for the magic bytes that close a file.
std::uint64_t trailingBytes(const State& s, std::uint64_t end) {
  const std::uint64_t after = s.size - end;
  return after >= record::kMagic.size() && s.readAt(end, record::kMagic.size()) == record::kMagic
             ? after - record::kMagic.size()
             : after;
}

// Walks the records from the start, keeping every complete chunk and message; stops at the footer or a torn
// record.
void scan(State& s) {
  s.schemas.clear();
  s.channels.clear();
  s.chunks.clear();
  s.runs.clear();
  s.statistics = {};
  s.skipped = {};
  s.metadataNames.clear();
  std::uint64_t pos = record::kMagic.size();
  while (s.size - pos >= record::kRecordPrefix) {
    // The prefix and the fields a message record starts with, in one read.
    const std::string head =
        s.readAt(pos, std::min<std::uint64_t>(s.size - pos, record::kRecordPrefix + record::kMessageFields));
    const auto prefix = record::readPrefix(head);
    if (prefix.length > s.size - pos - record::kRecordPrefix) break;
    const std::uint64_t end = pos + record::kRecordPrefix + prefix.length;
    if (prefix.opcode == record::kFooter) {
      s.torn = trailingBytes(s, end);
      return;
    }
    scanRecord(s, pos, prefix, std::string_view(head).substr(0, std::min<std::uint64_t>(head.size(), end - pos)));
    pos = end;
  }
  s.torn = s.size - pos;
}

}  // namespace

RecordingReader::RecordingReader(const std::string& path, const RecordingReaderOptions& options)
    : state_(std::make_unique<State>()) {
  auto& s = *state_;
  s.path = path;
  s.options = options;
  s.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (s.fd < 0) throw RecordingError("recording: cannot open " + path + ": " + std::strerror(errno));
  const off_t end = ::lseek(s.fd, 0, SEEK_END);
  if (end < 0) throw RecordingError("recording: cannot read " + path + ": " + std::strerror(errno));
  s.size = static_cast<std::uint64_t>(end);
  readHeader(s);
  s.indexed = readSummary(s);
  if (!s.indexed) scan(s);
}

RecordingReader::~RecordingReader() = default;

bool RecordingReader::indexed() const noexcept { return state_->indexed; }
std::uint64_t RecordingReader::fileSize() const noexcept { return state_->size; }
const std::string& RecordingReader::profile() const noexcept { return state_->profile; }
const std::string& RecordingReader::library() const noexcept { return state_->library; }
const std::map<std::uint16_t, RecordingSchema>& RecordingReader::schemas() const noexcept { return state_->schemas; }
const std::map<std::uint16_t, RecordingChannel>& RecordingReader::channels() const noexcept { return state_->channels; }
const std::vector<RecordingChunk>& RecordingReader::chunks() const noexcept { return state_->chunks; }
const RecordingStatistics& RecordingReader::statistics() const noexcept { return state_->statistics; }
std::uint64_t RecordingReader::tornBytes() const noexcept { return state_->torn; }
bool RecordingReader::cutShort() const noexcept { return state_->cutShort; }
const RecordingSkipped& RecordingReader::skipped() const noexcept { return state_->skipped; }
const std::vector<std::string>& RecordingReader::metadataNames() const noexcept { return state_->metadataNames; }

void RecordingReader::forEach(const RecordingFilter& filter,
                              const std::function<void(const RecordedMessage&)>& visit) const {
  MessageCursor cursor = messages(filter);
  while (auto message = cursor.next()) visit(*message);
}

}  // namespace corvane
