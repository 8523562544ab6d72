#pragma once

// Encoding colour images into video and compressed-image channels: one stateful encoder per topic. Shared by
// everything that turns observations into channels (the recorder's writer thread, the live server), so that
// what a file holds and what a viewer sees are the same bytes.
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "record/recorder_encode.hpp"

namespace corvane::record {

/// Foxglove's schemas as FileDescriptorSets (made by protoc at build time).
extern const std::string_view kCompressedVideoSchema;
extern const std::string_view kCompressedImageSchema;
extern const char* const kCompressedVideoSchemaName;  ///< "foxglove.CompressedVideo"
extern const char* const kCompressedImageSchemaName;  ///< "foxglove.CompressedImage"

struct VideoSettings {
  std::chrono::milliseconds keyframeInterval{1000};
  int videoQuality = 23;
  int jpegQuality = 90;
  int threads = 1;
};

/// The protobuf bytes of a foxglove.CompressedVideo (`compressedVideo`) or foxglove.CompressedImage.
std::string compressedMessage(bool video, std::uint64_t stamp, std::string_view frameId, std::string_view data,
                              std::string_view format);

/// Not thread-safe: one owner feeds it the raw images of every topic in order.
class VideoChannels {
 public:
  explicit VideoChannels(VideoSettings settings);
  ~VideoChannels();
  VideoChannels(const VideoChannels&) = delete;
  VideoChannels& operator=(const VideoChannels&) = delete;

  /// Encodes a raw image (Outgoing::raw set) into its channel's messages: one per frame, with the raw image's
  /// times (none yet, or several, only from a codec that delays frames). media::MediaError when encoding fails.
  std::vector<Outgoing> encode(Outgoing&& m);
  /// The next frame of `topic` is a keyframe, whatever the interval (a live viewer joins the channel).
  void requestKeyframe(std::string_view topic);
  /// The frames delaying codecs still hold, at the end of the recording.
  std::vector<Outgoing> finish();

 private:
  struct Stream;
  VideoSettings settings_;
  std::map<std::string, std::unique_ptr<Stream>, std::less<>> streams_;
};

}  // namespace corvane::record
