// Reading messages in log-time order: chunks are taken in order of their first time, and a message is handed
// out only once every chunk that could hold an earlier one has been read.
#include <algorithm>
#include <queue>
#include <set>

#include "record/mcap_bytes.hpp"
#include "record/reader_state.hpp"

namespace corvane {
namespace {

struct Pending {
  std::uint64_t logTime;
  std::uint64_t order;  // file order, for ties
  std::shared_ptr<const std::string> records;
  std::size_t offset;  // of the message record in `records`
  bool operator>(const Pending& other) const {
    return logTime != other.logTime ? logTime > other.logTime : order > other.order;
  }
};

}  // namespace

struct MessageCursor::State {
  const RecordingReader::State* reader = nullptr;
  RecordingFilter filter;
  bool allChannels = true;
  std::set<std::uint16_t> wanted;
  std::vector<const RecordingChunk*> chunks;  // those that may hold wanted messages, by first time
  std::size_t nextChunk = 0;
  std::uint64_t order = 0;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending;

  bool wants(std::uint16_t channel, std::uint64_t time) const {
    return time >= filter.startTime && time < filter.endTime && (allChannels || wanted.count(channel) != 0);
  }

  // The wanted (time, offset) pairs from the chunk's message indexes.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> indexedOffsets(const RecordingChunk& chunk) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> offsets;
    const std::string run = reader->readAt(chunk.offset + chunk.length, chunk.messageIndexLength);
    record::forEachRecord(run, [&](std::uint8_t op, std::string_view body, auto) {
      if (op != record::kMessageIndex) return;
      record::ByteReader r(body);
      const std::uint16_t channel = r.u16();
      record::ByteReader entries(r.take(r.u32()));
      while (!entries.done()) {
        const std::uint64_t time = entries.u64();
        const std::uint64_t offset = entries.u64();
        if (wants(channel, time)) offsets.emplace_back(time, offset);
      }
    });
    std::sort(offsets.begin(), offsets.end());
    return offsets;
  }

  void load(const RecordingChunk& chunk) {
    const bool useIndex = !chunk.messageIndexOffsets.empty() && chunk.messageIndexLength > 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> offsets;
    if (useIndex) {
      offsets = indexedOffsets(chunk);
      if (offsets.empty()) return;
    }
    auto body = std::make_shared<const std::string>(
        reader->readAt(chunk.offset + record::kRecordPrefix, chunk.length - record::kRecordPrefix));
    const record::ChunkBody parsed = record::parseChunk(*body);
    // Uncompressed records stay where they were read; others get a buffer of their own.
    std::shared_ptr<const std::string> storage = body;
    std::size_t base = static_cast<std::size_t>(parsed.records.data() - body->data());
    if (parsed.compression.empty()) {
      record::checkRecords(parsed, parsed.records);
    } else {
      storage = std::make_shared<const std::string>(record::chunkRecords(parsed));
      base = 0;
    }
    const std::string_view records(storage->data() + base, parsed.uncompressedSize);
    if (useIndex) {
      for (const auto& [time, offset] : offsets) {
        if (offset >= records.size() || records[offset] != static_cast<char>(record::kMessage)) {
          throw RecordingError("recording: a message index points at no message");
        }
        pending.push({time, order++, storage, base + static_cast<std::size_t>(offset)});
      }
      return;
    }
    record::forEachRecord(records, [&](std::uint8_t op, std::string_view inner, std::size_t offset) {
      if (op != record::kMessage) return;
      const auto m = record::parseMessage(inner);
      if (wants(m.channelId, m.logTime)) pending.push({m.logTime, order++, storage, base + offset});
    });
  }
};

MessageCursor::MessageCursor(std::unique_ptr<State> state) : state_(std::move(state)) {}
MessageCursor::~MessageCursor() = default;
MessageCursor::MessageCursor(MessageCursor&&) noexcept = default;
MessageCursor& MessageCursor::operator=(MessageCursor&&) noexcept = default;

std::optional<RecordedMessage> MessageCursor::next() {
  auto& s = *state_;
  while (s.nextChunk < s.chunks.size() &&
         (s.pending.empty() || s.chunks[s.nextChunk]->startTime <= s.pending.top().logTime)) {
    s.load(*s.chunks[s.nextChunk++]);
  }
  if (s.pending.empty()) return std::nullopt;
  Pending top = s.pending.top();
  s.pending.pop();
  std::string_view bytes(*top.records);
  std::uint64_t length;
  std::memcpy(&length, bytes.data() + top.offset + 1, 8);
  if (length > bytes.size() - top.offset - record::kRecordPrefix)
    throw RecordingError("recording: a message is cut short");
  const auto m = record::parseMessage(bytes.substr(top.offset + record::kRecordPrefix, length));
  const auto channel = s.reader->channels.find(m.channelId);
  if (channel == s.reader->channels.end()) throw RecordingError("recording: a message names an unknown channel");
  return RecordedMessage{&channel->second, m.sequence, m.logTime, m.publishTime, m.data, std::move(top.records)};
}

MessageCursor RecordingReader::messages(const RecordingFilter& filter) const {
  auto cursor = std::make_unique<MessageCursor::State>();
  cursor->reader = state_.get();
  cursor->filter = filter;
  cursor->allChannels = filter.topics.empty();
  for (const auto& [id, channel] : state_->channels) {
    if (std::find(filter.topics.begin(), filter.topics.end(), channel.topic) != filter.topics.end()) {
      cursor->wanted.insert(id);
    }
  }
  for (const auto& chunk : state_->chunks) {
    if (chunk.endTime < filter.startTime || chunk.startTime >= filter.endTime) continue;
    const auto& ids = chunk.messageIndexOffsets;
    const bool hasWanted =
        cursor->allChannels || ids.empty() ||
        std::any_of(ids.begin(), ids.end(), [&](const auto& e) { return cursor->wanted.count(e.first); });
    if (hasWanted) cursor->chunks.push_back(&chunk);
  }
  std::stable_sort(cursor->chunks.begin(), cursor->chunks.end(),
                   [](const auto* a, const auto* b) { return a->startTime < b->startTime; });
  return MessageCursor(std::move(cursor));
}

}  // namespace corvane
