#pragma once

// Writing encoded video into an MP4 file through libavformat, each frame at its own time (variable frame
// rate kept exactly, to the microsecond).
#include <cstdint>
#include <memory>
#include <string>

#include "media/video_encoder.hpp"

namespace corvane::media {

/// One video stream in one MP4 file. Feed it the packets of a VideoEncoder made with globalHeader set (MP4
/// keeps the codec configuration once), in order. Not thread-safe.
class Mp4Writer {
 public:
  /// Creates (truncates) `path` for `encoder`'s stream. MediaError when it cannot.
  Mp4Writer(const std::string& path, const VideoEncoder& encoder);
  /// Finishes the file as close() does, swallowing errors.
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  /// Writes one encoded frame shown at `timeUs` microseconds from the start (increasing), for `durationUs`
  /// when known: without a duration the file's edit list ends where the last frame starts, and demuxers that
  /// follow it drop that frame.
  void write(const EncodedFrame& frame, std::int64_t timeUs, std::int64_t durationUs = 0);
  /// Writes the index (moov) and closes the file. A second call does nothing.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::media
