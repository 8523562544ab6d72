#pragma once

// Turning observed events into recorded messages: topics, JSON documents and ros1 images and arrays.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/observer.hpp"
#include "corvane/record/recorder.hpp"

namespace corvane::record {

/// How a recorded message is encoded, which fixes its channel's schema. The compressed ones are protobuf
/// (foxglove.CompressedVideo, foxglove.CompressedImage), encoded on the recorder's writer thread; the JSON ones
/// after them carry a JSON Schema: a camera's calibration and pose (foxglove.CameraCalibration,
/// foxglove.FrameTransform), REST exchanges and joint stream samples.
enum class Encoding { json, image, array, compressedVideo, compressedImage, calibration, transform, rest, jointSample };

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
  /// False for a message that depends on earlier ones of its channel (a video delta frame): a viewer that
  /// missed some waits for the next keyframe.
  bool keyframe = true;
  std::optional<RawImage> raw{};  ///< set until VideoChannels encodes the payload
  /// The message's last bytes when they stay where their owner holds them (a frame's reply, a step's array: no copy):
  /// the payload then holds only what comes before them, and `hold` keeps them alive until written.
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

/// What a channel of one encoding declares: its message encoding and schema (an empty schemaName: none), and
/// whether only its newest message matters to a live viewer (images: an older one queued is replaced). The
/// protobuf schemas are FileDescriptorSets, bytes rather than text.
struct ChannelSchema {
  const char* messageEncoding;
  const char* schemaName;
  const char* schemaEncoding;
  std::string_view schema;
  bool newestWins;
};

ChannelSchema channelSchema(Encoding encoding);

std::uint64_t nanosSinceEpoch(ObservedTime time);

/// The ros1 message definitions of the binary encodings.
extern const char* const kImageSchemaName;
extern const char* const kImageSchema;
extern const char* const kArraySchemaName;
extern const char* const kArraySchema;
extern const char* const kCalibrationSchemaName;
extern const char* const kCalibrationSchema;
extern const char* const kTransformSchemaName;
extern const char* const kTransformSchema;
extern const char* const kRestSchemaName;
extern const char* const kRestSchema;
extern const char* const kJointSampleSchemaName;
extern const char* const kJointSampleSchema;

Outgoing encodeRest(const RestExchange& exchange);
/// One output as a ros1 image (when shaped as one) or array. With an owner, the output's bytes are held
/// (Outgoing::body) rather than copied. With `exactShape`, only outputs that read back in their own shape are
/// images.
Outgoing encodeOutput(std::string topic, const ObservedOutput& output, std::string_view frameId, std::uint64_t logTime,
                      std::uint64_t publishTime, bool exactShape);
/// Nothing for events without a message worth keeping.
Outgoing encodeStream(const StreamEvent& event);
/// The topic of a stream's messages ("/World/arm/stream_joint_positions"); "/sent" and "/events" follow it.
std::string streamTopic(std::string_view url);
/// One message per output (segmentation also colourised as rgb8 on "<output>/colorized"), one for the rest of
/// the result tree, and the camera's calibration and pose when the result tree holds them.
std::vector<Outgoing> encodeFrame(const FrameObservation& frame);
/// The same, colour outputs left raw for VideoChannels where `video` asks for an encoded format.
std::vector<Outgoing> encodeFrame(const FrameObservation& frame, const VideoChoice& video);
/// The topic of the static transforms the user sets.
extern const char* const kStaticTransformTopic;
/// A static transform as foxglove.FrameTransform on kStaticTransformTopic, stamped `time`. std::invalid_argument
/// for an empty frame name or a rotation that is not a unit quaternion.
Outgoing encodeTransform(const FrameTransform& transform, std::uint64_t time);
/// `message` as a JSON object payload.
std::string jsonPayload(const nlohmann::json& message);

}  // namespace corvane::record
