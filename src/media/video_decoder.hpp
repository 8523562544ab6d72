#pragma once

// Decoding a video stream back to rgb8 frames through libavcodec.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "media/video_encoder.hpp"

namespace corvane::media {

/// Where a decoded frame goes: called with its size, returns room for height x width x 3 bytes.
using FrameTarget = std::function<std::uint8_t*(int width, int height)>;

/// One decoder per stream, fed its packets in order; not thread-safe. Without B-frames each packet that
/// completes a picture gives it at once (low-delay decoding, one thread).
class VideoDecoder {
 public:
  explicit VideoDecoder(VideoCodec codec);  ///< MediaError when the codec cannot open
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  /// Decodes one packet; each picture it completes is converted to rgb8 into target(width, height). Returns
  /// the number of pictures. MediaError on a corrupt packet.
  int decode(std::string_view data, const FrameTarget& target);
  /// The pictures still held at the end of the stream.
  int flush(const FrameTarget& target);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::media
