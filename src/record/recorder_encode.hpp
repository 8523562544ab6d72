#pragma once

// Turning observed events into recorded messages: topics, JSON documents and ros1 images and arrays.
#include <cstdint>
#include <string>
#include <vector>

#include "corvane/observer.hpp"

namespace corvane::record {

/// How a recorded message is encoded, which fixes its channel's schema. The JSON ones after `array` carry a
/// JSON Schema: a camera's calibration and pose (foxglove.CameraCalibration, foxglove.FrameTransform), REST
/// exchanges and joint stream samples.
enum class Encoding { json, image, array, calibration, transform, rest, jointSample };

struct Outgoing {
  std::string topic;
  Encoding encoding;
  std::string payload;
  std::uint64_t logTime, publishTime;
  /// False for a message that depends on earlier ones of its channel (a video delta frame): a viewer that
  /// missed some waits for the next keyframe.
  bool keyframe = true;
};

/// What a channel of one encoding declares: its message encoding and schema (an empty schemaName: none), and
/// whether only its newest message matters to a live viewer (images: an older one queued is replaced).
struct ChannelSchema {
  const char* messageEncoding;
  const char* schemaName;
  const char* schemaEncoding;
  const char* schema;
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
/// Nothing for events without a message worth keeping.
Outgoing encodeStream(const StreamEvent& event);
/// One message per output (segmentation also colourised as rgb8 on "<output>/colorized"), one for the rest of
/// the result tree, and the camera's calibration and pose when the result tree holds them.
std::vector<Outgoing> encodeFrame(const FrameObservation& frame);
/// `message` as a JSON object payload.
std::string jsonPayload(const nlohmann::json& message);

}  // namespace corvane::record
