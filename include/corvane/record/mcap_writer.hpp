#pragma once

// Writing MCAP files: chunked, indexed, with a summary Foxglove and other MCAP readers open directly.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "corvane/export.hpp"
#include "corvane/record/recording_error.hpp"

namespace corvane {

/// How chunks are compressed.
enum class Compression { none, lz4, zstd };

struct CORVANE_API McapWriterOptions {
  Compression compression = Compression::zstd;
  /// A chunk closes once its uncompressed records reach this many bytes.
  std::size_t chunkSize = 4U << 20;
  /// A chunk also closes when a message comes this long after the chunk opened (wall clock), and
  /// McapWriter::closeChunkIfDue() closes it once this time has passed; 0 turns the bound off. It bounds what
  /// a process killed mid-recording loses: the records of the open chunk.
  std::chrono::milliseconds chunkInterval{1000};
  std::string profile;
  std::string library = "corvane";
};

/// Writes one MCAP file: messages go into chunks, each followed by the index of its messages per channel; close()
/// writes the summary (schemas, channels, statistics, chunk indexes, summary offsets) and the footer, all with
/// their CRCs. Not thread-safe. An I/O failure (a full disk) leaves the file as it was: every complete chunk
/// stays readable, no summary is written over them, and every later call throws RecordingError again.
class CORVANE_API McapWriter {
 public:
  /// Creates (truncates) the file. Throws RecordingError naming the path when it cannot be opened.
  explicit McapWriter(const std::string& path, McapWriterOptions options = {});
  /// Closes the file, writing the summary unless the writer failed; errors are swallowed (call close() to see
  /// them).
  ~McapWriter();
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;

  /// Registers a schema; returns its id (from 1). Repeating the same name, encoding and data returns the same id.
  std::uint16_t addSchema(std::string_view name, std::string_view encoding, std::string_view data);
  /// Registers a channel on `schemaId` (0: none); returns its id. The same topic, encoding and schema return
  /// the same id.
  std::uint16_t addChannel(std::string_view topic, std::string_view messageEncoding, std::uint16_t schemaId,
                           const std::map<std::string, std::string>& metadata = {});
  /// Writes one message; times are nanoseconds (since the Unix epoch for corvane's recordings). Each channel
  /// numbers its messages from 0.
  void write(std::uint16_t channelId, std::uint64_t logTime, std::uint64_t publishTime, std::string_view data);
  /// The same for a message whose bytes lie in two places: `data` then `more` (no need to join them first).
  void write(std::uint16_t channelId, std::uint64_t logTime, std::uint64_t publishTime, std::string_view data,
             std::string_view more);
  /// Writes the open chunk, if any, and its message indexes.
  void closeChunk();
  /// Writes the open chunk when it has been open for the chunk interval.
  void closeChunkIfDue();
  /// Writes the open chunk, the summary and the footer, and closes the file. A second call does nothing.
  void close();

  std::uint64_t messageCount() const noexcept;
  std::uint64_t chunkCount() const noexcept;
  /// Bytes handed to the file so far.
  std::uint64_t bytesWritten() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace corvane
