#pragma once

// Turning observed events into recorded messages: topics, JSON documents and ros1 images and arrays.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "corvane/observer.hpp"
#include "corvane/record/recorder.hpp"

namespace corvane::record {

/// How a recorded message is encoded, which fixes its channel's schema.
enum class Encoding { json, image, array, compressedVideo, compressedImage };

/// A colour image still to be encoded (on the writer thread): the payload holds its packed pixels.
struct RawImage {
  std::string frameId;
  int width = 0, height = 0, channels = 3;
  VideoFormat format = VideoFormat::none;
};

struct Outgoing {
  std::string topic;
  Encoding encoding;
  std::string payload;
  std::uint64_t logTime, publishTime;
  std::optional<RawImage> raw{};  ///< set until VideoChannels encodes the payload
  /// The message's last bytes when they stay where the frame's reply holds them (no copy): the payload then
  /// holds only what comes before them, and `hold` keeps them alive until written.
  std::string_view body{};
  std::shared_ptr<const void> hold{};

  std::string_view pixels() const { return body.empty() ? std::string_view(payload) : body; }
};

/// Which colour outputs become video or compressed images.
struct VideoChoice {
  VideoFormat video = VideoFormat::none;
  std::map<std::string, VideoFormat> byOutput;

  VideoFormat formatFor(std::string_view output) const;
};

std::uint64_t nanosSinceEpoch(ObservedTime time);

/// The ros1 message definitions of the binary encodings.
extern const char* const kImageSchemaName;
extern const char* const kImageSchema;
extern const char* const kArraySchemaName;
extern const char* const kArraySchema;

Outgoing encodeRest(const RestExchange& exchange);
/// Nothing for events without a message worth keeping.
Outgoing encodeStream(const StreamEvent& event);
/// One message per output, and one for the rest of the result tree.
std::vector<Outgoing> encodeFrame(const FrameObservation& frame);
/// The same, colour outputs left raw for VideoChannels where `video` asks for an encoded format.
std::vector<Outgoing> encodeFrame(const FrameObservation& frame, const VideoChoice& video);
/// `message` as a JSON object payload.
std::string jsonPayload(const nlohmann::json& message);

}  // namespace corvane::record
