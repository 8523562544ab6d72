#pragma once

// Encoding raw frames into a video stream through libavcodec (libx264 for H.264, libsvtav1 for AV1). Starts
// no thread of its own unless `threads` asks the codec for more than one.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/media.hpp"

namespace corvane::media {

enum class VideoCodec { h264, av1 };

/// "h264" or "av1": the format names of Foxglove's CompressedVideo.
const char* codecName(VideoCodec codec) noexcept;

struct VideoEncoderOptions {
  VideoCodec codec = VideoCodec::h264;
  int width = 0, height = 0;
  PixelFormat input = PixelFormat::rgb8;  ///< rgb8 or rgba8 (alpha is dropped)
  int frameRate = 30;                     ///< nominal, for rate control: frames are timed by their pts
  /// The most frames from one keyframe to the next (the codec may add more, e.g. at scene cuts); callers
  /// that time keyframes themselves ask for them with encode(..., keyframe = true).
  int keyframeInterval = 30;
  int quality = 23;                 ///< constant-quality factor (CRF): lower is better and larger
  std::string preset = "veryfast";  ///< libx264's preset names; AV1 takes SVT-AV1's numbers ("10")
  int threads = 1;
  /// For containers (MP4): codec configuration once in extradata() instead of before each keyframe.
  bool globalHeader = false;
};

struct EncodedFrame {
  std::string data;  ///< H.264: Annex B NAL units, SPS and PPS before every keyframe (unless globalHeader)
  bool keyframe = false;
  std::int64_t pts = 0;
};

/// One encoder per stream; not thread-safe. H.264 is encoded without B-frames or lookahead: each frame's
/// packet comes out of the call that took the frame.
class VideoEncoder {
 public:
  explicit VideoEncoder(const VideoEncoderOptions& options);  ///< MediaError when the codec cannot open
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  /// Encodes one frame of options().width x height pixels in options().input; `keyframe` forces one (AV1: the
  /// frames before it come out first, in this call). Returns the packets the codec completed (one for H.264).
  std::vector<EncodedFrame> encode(const std::uint8_t* pixels, std::int64_t pts, bool keyframe = false);
  /// Drains the frames a delaying codec still holds; the encoder takes no more frames after it.
  std::vector<EncodedFrame> flush();

  const VideoEncoderOptions& options() const noexcept;
  /// The codec configuration (avcC for H.264) when globalHeader is set; empty otherwise.
  std::string extradata() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Whether an H.264 Annex B packet holds an IDR picture (a point where decoding can start).
bool isH264Keyframe(const std::uint8_t* data, std::size_t size) noexcept;

/// Whether an AV1 temporal unit (low-overhead OBUs) starts with a key frame (a point where decoding can start).
bool isAv1Keyframe(const std::uint8_t* data, std::size_t size) noexcept;

/// Whether a packet of `codec` is a point where decoding can start.
bool isKeyframe(VideoCodec codec, const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace corvane::media
