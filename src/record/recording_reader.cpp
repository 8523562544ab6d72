// Opening a recording: the summary through the footer, or a scan of the records when there is none.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

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
  if (s.size < 8 || s.readAt(0, 8) != record::kMagic) s.fail("not an MCAP file");
  if (s.size < 8 + record::kRecordPrefix) s.fail("not a recording: it ends after the magic bytes");
  const std::string prefixBytes = s.readAt(8, record::kRecordPrefix);
  ByteReader prefix(prefixBytes);
  if (prefix.u8() != record::kHeader) s.fail("not a recording: no header record follows the magic bytes");
  const std::uint64_t length = prefix.u64();
  if (length > s.size - 8 - record::kRecordPrefix) s.fail("not a recording: its header record is cut short");
  const std::string bodyBytes = s.readAt(8 + record::kRecordPrefix, length);
  s.parsing("the header", 8, [&] {
    ByteReader body(bodyBytes);
    s.profile = body.str();
    s.library = body.str();
  });
}

// A chunk index must point at a chunk inside the data section, after the previous one.
void checkChunkIndexes(State& s, std::uint64_t summaryStart) {
  std::uint64_t end = 8;
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
  }
}

// Reads the summary through the footer; false when the file has none to use.
bool readSummary(State& s) {
  constexpr std::uint64_t kTail = record::kFooterRecord + 8;
  s.cutShort = true;
  if (s.size < 8 + kTail || s.readAt(s.size - 8, 8) != record::kMagic) return false;
  const std::string footer = s.readAt(s.size - kTail, record::kFooterRecord);
  ByteReader f(footer);
  if (f.u8() != record::kFooter || f.u64() != 20) return false;
  s.cutShort = false;
  const std::uint64_t summaryStart = f.u64();
  const std::uint64_t offsetsStart = f.u64();
  const std::uint32_t crc = f.u32();
  if (summaryStart == 0) return false;
  const std::uint64_t footerAt = s.size - kTail;
  if (summaryStart < 8 + record::kRecordPrefix || summaryStart > footerAt ||
      (offsetsStart != 0 && (offsetsStart < summaryStart || offsetsStart > footerAt))) {
    s.fail("the footer at byte " + std::to_string(footerAt) + " points outside the file");
  }
  const std::string summary = s.readAt(summaryStart, s.size - 8 - 4 - summaryStart);
  if (crc != 0 && record::crc32(0, summary) != crc) s.fail("the summary fails its CRC check");
  const std::uint64_t end = (offsetsStart != 0 ? offsetsStart : footerAt) - summaryStart;
  bool haveStatistics = false;
  s.parsing("the summary", summaryStart, [&] {
    record::forEachRecord(std::string_view(summary).substr(0, end), [&](auto op, auto body, std::size_t pos) {
      s.parsing("the summary record", summaryStart + pos, [&] { takeSummaryRecord(s, op, body, haveStatistics); });
    });
  });
  if (s.chunks.empty() && (!haveStatistics || s.statistics.messageCount > 0)) return false;
  std::sort(s.chunks.begin(), s.chunks.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
  checkChunkIndexes(s, summaryStart);
  return true;
}

// Takes in a complete chunk found while scanning, unless it fails its checks. Its time range is that of the
// messages it holds.
void scanChunk(State& s, std::uint64_t offset, std::string_view body) {
  RecordingChunk info;
  std::map<std::uint16_t, std::uint64_t> counts;
  std::uint64_t first = std::numeric_limits<std::uint64_t>::max(), last = 0;
  try {
    const auto chunk = record::parseChunk(body);
    s.parsing("the chunk", offset, [&] { record::checkClaim(chunk, s.options.maxRecordSize); });
    const std::string records = record::chunkRecords(chunk, s.options.maxRecordSize);
    record::forEachRecord(records, [&](std::uint8_t op, std::string_view inner, auto) {
      if (op == record::kSchema) {
        auto schema = record::parseSchema(inner);
        s.schemas.emplace(schema.id, std::move(schema));
      } else if (op == record::kChannel) {
        auto channel = record::parseChannel(inner);
        s.channels.emplace(channel.id, std::move(channel));
      } else if (op == record::kMessage) {
        const auto m = record::parseMessage(inner);
        ++counts[m.channelId];
        first = std::min(first, m.logTime);
        last = std::max(last, m.logTime);
      }
    });
    info = {counts.empty() ? chunk.startTime : first,
            counts.empty() ? chunk.endTime : last,
            offset,
            record::kRecordPrefix + body.size(),
            std::string(chunk.compression),
            chunk.records.size(),
            chunk.uncompressedSize,
            {},
            0};
  } catch (const record::Malformed&) {
    return;
  }
  auto& stats = s.statistics;
  if (!counts.empty()) {
    stats.startTime = stats.messageCount == 0 ? first : std::min(stats.startTime, first);
    stats.endTime = std::max(stats.endTime, last);
  }
  for (const auto& [id, n] : counts) {
    stats.channelMessageCounts[id] += n;
    stats.messageCount += n;
  }
  s.chunks.push_back(std::move(info));
}

// Walks the records from the start, keeping every complete chunk; stops at the footer or a torn record.
void scan(State& s) {
  s.schemas.clear();
  s.channels.clear();
  s.chunks.clear();
  s.statistics = {};
  std::uint64_t pos = 8;
  while (s.size - pos >= record::kRecordPrefix) {
    const std::string prefixBytes = s.readAt(pos, record::kRecordPrefix);
    ByteReader prefix(prefixBytes);
    const std::uint8_t op = prefix.u8();
    const std::uint64_t length = prefix.u64();
    if (length > s.size - pos - record::kRecordPrefix) break;
    if (op == record::kFooter) return;
    if (op == record::kSchema || op == record::kChannel || op == record::kChunk) {
      const std::string body = s.readAt(pos + record::kRecordPrefix, length);
      if (op == record::kSchema) {
        auto schema = s.parsing("the schema", pos, [&] { return record::parseSchema(body); });
        s.schemas.emplace(schema.id, std::move(schema));
      } else if (op == record::kChannel) {
        auto channel = s.parsing("the channel", pos, [&] { return record::parseChannel(body); });
        s.channels.emplace(channel.id, std::move(channel));
      } else {
        scanChunk(s, pos, body);  // one that fails its checks is left out
      }
    }
    pos += record::kRecordPrefix + length;
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

void RecordingReader::forEach(const RecordingFilter& filter,
                              const std::function<void(const RecordedMessage&)>& visit) const {
  MessageCursor cursor = messages(filter);
  while (auto message = cursor.next()) visit(*message);
}

}  // namespace corvane
