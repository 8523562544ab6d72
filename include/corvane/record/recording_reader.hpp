#pragma once

// Reading MCAP files back: by topic and time range through the summary's indexes, or record by record when the
// file has none to use (a recording cut short, a file written without chunks), keeping every complete chunk and
// every message outside chunks.
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/export.hpp"
#include "corvane/record/recording_error.hpp"
#include "corvane/record/step.hpp"

namespace corvane {

struct CORVANE_API RecordingSchema {
  std::uint16_t id = 0;
  std::string name, encoding, data;
};

struct CORVANE_API RecordingChannel {
  std::uint16_t id = 0, schemaId = 0;
  std::string topic, messageEncoding;
  std::map<std::string, std::string> metadata;
};

struct CORVANE_API RecordingChunk {
  std::uint64_t startTime = 0, endTime = 0;
  std::uint64_t offset = 0, length = 0;  // of the chunk record in the file
  std::string compression;               // "", "lz4" or "zstd"
  std::uint64_t compressedSize = 0, uncompressedSize = 0;
  std::map<std::uint16_t, std::uint64_t> messageIndexOffsets;  // empty when the file has no summary
  std::uint64_t messageIndexLength = 0;
};

struct CORVANE_API RecordingStatistics {
  std::uint64_t messageCount = 0;
  std::uint64_t startTime = 0, endTime = 0;
  std::map<std::uint16_t, std::uint64_t> channelMessageCounts;
};

/// One message. `data` views `storage`, the decompressed chunk it came from, which the message keeps alive.
struct CORVANE_API RecordedMessage {
  const RecordingChannel* channel = nullptr;
  std::uint32_t sequence = 0;
  std::uint64_t logTime = 0, publishTime = 0;
  std::string_view data;
  std::shared_ptr<const std::string> storage;
};

/// What reading a file passed over. Chunks are left out only by the scan (read through the summary's indexes, a
/// chunk that fails its checks refuses the file); records are counted from the summary's indexes or as scanned.
struct CORVANE_API RecordingSkipped {
  /// Chunks left out: their records fail the CRC check; an unsupported compression, or data that does not
  /// decompress to the size stated; fields or records that do not parse, or records of another size than stated.
  std::uint64_t chunksFailingCrc = 0, chunksUndecompressed = 0, chunksMalformed = 0;
  /// Attachment records, which the reader does not read.
  std::uint64_t attachments = 0;
  /// Records of opcodes the format does not define, passed over by their length.
  std::uint64_t unknownRecords = 0;
  /// Messages a scan left out because no record defines their channel (it was in a chunk left out).
  std::uint64_t messagesWithoutChannel = 0;
  std::uint64_t chunks() const noexcept { return chunksFailingCrc + chunksUndecompressed + chunksMalformed; }
};

/// Which messages to read: the topics (empty: all) and log times in [startTime, endTime).
struct CORVANE_API RecordingFilter {
  std::vector<std::string> topics;
  std::uint64_t startTime = 0;
  std::uint64_t endTime = std::numeric_limits<std::uint64_t>::max();
};

/// Limits a reader puts on what a file may make it hold.
struct CORVANE_API RecordingReaderOptions {
  /// The largest record read into memory (the summary, a chunk as stored) and the most a chunk may
  /// decompress to; a file that needs more is refused with RecordingError before anything is allocated.
  std::uint64_t maxRecordSize = std::uint64_t{1} << 30;
};

class RecordingReader;

namespace detail {
struct RecordingReaderState;  // defined in src/record/reader_state.hpp
}  // namespace detail

/// Messages in log-time order (ties: file order), one chunk decompressed at a time plus those overlapping it.
/// Each chunk's messages are found by walking its records (the message indexes are not trusted); a message that
/// contradicts the chunk's index (a channel it does not list, a time outside its range) refuses the file, so
/// the order never breaks.
class CORVANE_API MessageCursor {
 public:
  ~MessageCursor();
  MessageCursor(MessageCursor&&) noexcept;
  MessageCursor& operator=(MessageCursor&&) noexcept;
  /// The next message, or nothing at the end. Throws RecordingError for a chunk that fails its checks.
  std::optional<RecordedMessage> next();

 private:
  friend class RecordingReader;
  struct State;
  explicit MessageCursor(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

/// Steps in log-time order, each with its arrays (views of the chunks they lie in, no copy), and the episodes
/// the "/episode" messages cut: a start opens one (closing any open one), an end closes it; a step outside an
/// open episode opens one without attributes. A step whose messages are not all in the file (a chunk lost to a
/// failed check) is left out and counted.
class CORVANE_API StepCursor {
 public:
  ~StepCursor();
  StepCursor(StepCursor&&) noexcept;
  StepCursor& operator=(StepCursor&&) noexcept;
  /// The next step, or nothing at the end. Throws RecordingError for a step message it cannot decode.
  std::optional<RecordedStep> next();
  /// The episodes seen so far: RecordedStep::episode indexes them. An episode's end (its attributes complete)
  /// has been read once a step of a later episode, or the end, has come out.
  const std::vector<RecordedEpisode>& episodes() const noexcept;
  /// Steps left out because some of their messages are missing.
  std::uint64_t incomplete() const noexcept;

 private:
  friend class RecordingReader;
  struct State;
  explicit StepCursor(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

/// An open recording. With a valid footer and summary (CRC checked) holding statistics and the chunk indexes it
/// reads through the indexes: a chunk holding none of the wanted topics or times is never read. Otherwise (no
/// summary, a footer cut off, a file written without chunks or statistics) it scans the file once at opening:
/// it keeps every complete chunk that passes its checks (counting those it leaves out in skipped()) and every
/// message outside chunks, read in runs of nearby records; a torn last record is left out. Thread-compatible: cursors
/// of one reader may run on several threads (each reads the file with its own positioned reads).
///
/// Files are untrusted input: every failure to read one, whatever its bytes, is a RecordingError naming the file
/// (and the byte offset of the record at fault where there is one). Sizes and offsets are checked against the
/// file and the enclosing record before anything is allocated, and a chunk is decompressed into a buffer that
/// grows only as output actually arrives, up to the size it claims. Memory held: the summary (or what the scan
/// found), plus per cursor the chunks or runs of messages it holds at once (one, and those overlapping it in
/// time), each at most RecordingReaderOptions::maxRecordSize as stored and as decompressed.
class CORVANE_API RecordingReader {
 public:
  /// Throws RecordingError when the file cannot be opened, does not start as an MCAP file with its header, or
  /// has a summary that contradicts the file.
  explicit RecordingReader(const std::string& path, const RecordingReaderOptions& options = {});
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  /// True when the summary's indexes are used; false for the scanning fallback.
  bool indexed() const noexcept;
  std::uint64_t fileSize() const noexcept;
  const std::string& profile() const noexcept;
  const std::string& library() const noexcept;
  const std::map<std::uint16_t, RecordingSchema>& schemas() const noexcept;
  const std::map<std::uint16_t, RecordingChannel>& channels() const noexcept;
  /// The chunks, in file order.
  const std::vector<RecordingChunk>& chunks() const noexcept;
  /// From the summary, or counted while scanning.
  const RecordingStatistics& statistics() const noexcept;
  /// Bytes at the end that hold no complete record (a file cut short, bytes after the footer); 0 for a complete
  /// file.
  std::uint64_t tornBytes() const noexcept;
  /// What was passed over: chunks left out by the scan, by reason, attachments and unknown records.
  const RecordingSkipped& skipped() const noexcept;
  /// The names of the file's metadata records, in file order (their contents are not read).
  const std::vector<std::string>& metadataNames() const noexcept;
  /// True when the file does not end with a footer and the magic bytes: a recording cut short, read back as
  /// far as its last complete chunk.
  bool cutShort() const noexcept;

  /// Reads the messages `filter` selects. The reader must outlive the cursor.
  MessageCursor messages(const RecordingFilter& filter = {}) const;
  /// Reads the steps (Recorder::step) and the episodes. The reader must outlive the cursor.
  StepCursor steps() const;
  /// Calls `visit` for every message `filter` selects, in log-time order.
  void forEach(const RecordingFilter& filter, const std::function<void(const RecordedMessage&)>& visit) const;

 private:
  using State = detail::RecordingReaderState;
  std::unique_ptr<State> state_;
};

}  // namespace corvane
