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
  record::MessageBody message;
  std::uint64_t order;                         // file order, for ties
  std::shared_ptr<const std::string> storage;  // what `message.data` views
  bool operator>(const Pending& other) const {
    const std::uint64_t a = message.logTime, b = other.message.logTime;
    return a != b ? a > b : order > other.order;
  }
};

// What the cursor reads at once: a chunk, or a run of records outside chunks (detail::RecordingReaderState::runs).
struct Block {
  const RecordingChunk* extent;
  bool run;
};

// The records of a block and the buffer holding them. The record at a chunk's offset must be a chunk of the
// length its index gives.
std::pair<std::shared_ptr<const std::string>, std::string_view> readBlock(const detail::RecordingReaderState& reader,
                                                                          const Block& block) {
  const RecordingChunk& chunk = *block.extent;
  auto bytes = std::make_shared<const std::string>(reader.readAt(chunk.offset, chunk.length));
  if (block.run) return {bytes, *bytes};
  const record::RecordPrefix prefix = record::readPrefix(*bytes);
  if (prefix.opcode != record::kChunk || prefix.length != chunk.length - record::kRecordPrefix) {
    throw record::Malformed("is not the chunk record its index describes");
  }
  const record::ChunkBody parsed = record::parseChunk(std::string_view(*bytes).substr(record::kRecordPrefix));
  if (parsed.compression.empty()) {  // the records stay where they were read
    record::checkRecords(parsed, parsed.records);
    return {bytes, parsed.records};
  }
  auto records = std::make_shared<const std::string>(record::chunkRecords(parsed, reader.options.maxRecordSize));
  return {records, *records};
}

}  // namespace

struct MessageCursor::State {
  const detail::RecordingReaderState* reader = nullptr;
  RecordingFilter filter;
  bool allChannels = true;
  std::set<std::uint16_t> wanted;
  std::vector<Block> blocks;  // those that may hold wanted messages, by first time
  std::size_t nextBlock = 0;
  std::uint64_t order = 0;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending;

  bool wants(std::uint16_t channel, std::uint64_t time) const {
    return time >= filter.startTime && time < filter.endTime && (allChannels || wanted.count(channel) != 0);
  }

  // The chunk's index decided whether and when the chunk is read: a message it does not account for means
  // chunks skipped or ordered by it may have held messages due earlier, so the file is refused.
  void checkAgainstIndex(const RecordingChunk& chunk, const record::MessageBody& m) const {
    if (m.logTime < chunk.startTime || m.logTime > chunk.endTime) {
      throw record::Malformed("holds a message logged at " + std::to_string(m.logTime) + ", outside the range [" +
                              std::to_string(chunk.startTime) + ", " + std::to_string(chunk.endTime) +
                              "] its index gives");
    }
    const auto& listed = chunk.messageIndexOffsets;
    if (!listed.empty() && listed.count(m.channelId) == 0) {
      throw record::Malformed("holds a message on channel " + std::to_string(m.channelId) +
                              ", which its index does not list");
    }
    if (reader->channels.count(m.channelId) == 0) {
      throw record::Malformed("holds a message on channel " + std::to_string(m.channelId) +
                              ", which the file does not define");
    }
  }

  // Queues the block's wanted messages, found by walking its records: the message indexes are not trusted.
  void load(const Block& block) {
    const RecordingChunk& chunk = *block.extent;
    reader->parsing(block.run ? "the messages" : "the chunk", chunk.offset, [&] {
      const auto read = readBlock(*reader, block);
      const std::shared_ptr<const std::string>& storage = read.first;
      record::forEachRecord(read.second, [&](std::uint8_t op, std::string_view body, std::size_t) {
        if (op != record::kMessage) return;
        const record::MessageBody m = record::parseMessage(body);
        if (!reader->indexed && reader->channels.count(m.channelId) == 0) return;  // left out by the scan
        checkAgainstIndex(chunk, m);
        if (wants(m.channelId, m.logTime)) pending.push({m, order++, storage});
      });
    });
  }
};

MessageCursor::MessageCursor(std::unique_ptr<State> state) : state_(std::move(state)) {}
MessageCursor::~MessageCursor() = default;
MessageCursor::MessageCursor(MessageCursor&&) noexcept = default;
MessageCursor& MessageCursor::operator=(MessageCursor&&) noexcept = default;

std::optional<RecordedMessage> MessageCursor::next() {
  auto& s = *state_;
  while (s.nextBlock < s.blocks.size() &&
         (s.pending.empty() || s.blocks[s.nextBlock].extent->startTime <= s.pending.top().message.logTime)) {
    s.load(s.blocks[s.nextBlock++]);
  }
  if (s.pending.empty()) return std::nullopt;
  Pending top = s.pending.top();
  s.pending.pop();
  const record::MessageBody& m = top.message;
  return RecordedMessage{
      &s.reader->channels.at(m.channelId), m.sequence, m.logTime, m.publishTime, m.data, std::move(top.storage)};
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
  auto consider = [&](const RecordingChunk& chunk, bool run) {
    if (chunk.endTime < filter.startTime || chunk.startTime >= filter.endTime) return;
    const auto& ids = chunk.messageIndexOffsets;
    const bool hasWanted =
        cursor->allChannels || ids.empty() ||
        std::any_of(ids.begin(), ids.end(), [&](const auto& e) { return cursor->wanted.count(e.first); });
    if (hasWanted) cursor->blocks.push_back({&chunk, run});
  };
  for (const auto& chunk : state_->chunks) consider(chunk, false);
  for (const auto& run : state_->runs) consider(run, true);
  std::stable_sort(cursor->blocks.begin(), cursor->blocks.end(),
                   [](const Block& a, const Block& b) { return a.extent->startTime < b.extent->startTime; });
  return MessageCursor(std::move(cursor));
}

}  // namespace corvane
