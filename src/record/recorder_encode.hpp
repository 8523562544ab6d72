#pragma once

// Turning observed events into recorded messages: topics, JSON documents and ros1 images and arrays.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/observer.hpp"

namespace corvane::record {

/// How a recorded message is encoded, which fixes its channel's schema.
enum class Encoding { json, image, array };

struct Outgoing {
  std::string topic;
  Encoding encoding;
  std::string payload;
  std::uint64_t logTime, publishTime;
  /// Bytes that follow the payload without having been copied into it, kept alive by their owner.
  std::string_view body = {};
  std::shared_ptr<const void> bodyOwner = nullptr;
};

std::uint64_t nanosSinceEpoch(ObservedTime time);

/// The ros1 message definitions of the binary encodings.
extern const char* const kImageSchemaName;
extern const char* const kImageSchema;
extern const char* const kArraySchemaName;
extern const char* const kArraySchema;

Outgoing encodeRest(const RestExchange& exchange);
/// One output as an image (when shaped as one) or an array. With an owner, the output's bytes are referenced
/// (Outgoing::body) rather than copied. With `exactShape`, only outputs that read back in their own shape are
/// images.
Outgoing encodeOutput(std::string topic, const ObservedOutput& output, std::string_view frameId, std::uint64_t logTime,
                      std::uint64_t publishTime, std::shared_ptr<const void> owner, bool exactShape);
/// Nothing for events without a message worth keeping.
Outgoing encodeStream(const StreamEvent& event);
/// One message per output, and one for the rest of the result tree.
std::vector<Outgoing> encodeFrame(const FrameObservation& frame);
/// `message` as a JSON object payload.
std::string jsonPayload(const nlohmann::json& message);

}  // namespace corvane::record
