#include "camera/frame_decoder.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "camera/compact_text.hpp"
#include "camera/json_count.hpp"
#include "camera/manifest_reader.hpp"
#include "client/success_status.hpp"
#include "corvane/errors.hpp"

// The library's one parser of untrusted binary input. Every length in it comes from the network: sizes are
// compared in 64 bits and bounds are tested by subtraction from sizes already known to be in range, so no
// sum can wrap.
namespace corvane::detail {
namespace {

using Json = nlohmann::json;

constexpr std::uint64_t kHeaderSize = 8;
constexpr std::string_view kMagic = "CVB1";

std::uint64_t manifestLength(std::string_view body) {
  std::uint64_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(body[4 + i]);
  return length;
}

// The end of the manifest (8 + L), once the header is known to be sound.
std::size_t checkedManifestEnd(std::string_view body) {
  if (body.size() < kHeaderSize || body.substr(0, kMagic.size()) != kMagic) {
    throw FrameError("camera response is not a binary frame: expected it to start with \"CVB1\"",
                     FrameErrorKind::notAFrame);
  }
  const std::uint64_t length = manifestLength(body);
  if (kHeaderSize + length > body.size()) {
    throw FrameError("camera frame is truncated: its manifest claims " + std::to_string(length) +
                         " bytes but the body holds " + std::to_string(body.size()),
                     FrameErrorKind::truncatedManifest);
  }
  return static_cast<std::size_t>(kHeaderSize + length);
}

// The end of the manifest of a 2xx frame reply; throws for any other status or an unsound header.
std::size_t checkedReply(long status, std::string_view body) {
  if (!isSuccessStatus(status)) throw HTTPError(status, std::string(body));
  return checkedManifestEnd(body);
}

// The region of an output, once it is known to lie inside the payload.
std::string_view checkedRegion(std::uint64_t offset, std::uint64_t nbytes, std::string_view payload) {
  if (offset > payload.size() || nbytes > payload.size() - offset) {
    throw FrameError("camera frame is truncated: an output claims bytes past the end of the body",
                     FrameErrorKind::outputOutOfBounds);
  }
  return payload.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(nbytes));
}

std::vector<std::size_t> readShape(const Json& descriptor) {
  const Json& shape = descriptor.at("shape");
  if (!shape.is_array()) {
    throw Json::type_error::create(302, "type must be array, but is " + std::string(shape.type_name()), &shape);
  }
  std::vector<std::size_t> dimensions;
  dimensions.reserve(shape.size());
  for (const Json& dimension : shape) dimensions.push_back(static_cast<std::size_t>(toCount(dimension)));
  return dimensions;
}

std::string readDtype(const Json& descriptor) {
  const Json& dtype = descriptor.at("dtype");
  return dtype.is_string() ? dtype.get<std::string>() : compactText(dtype);
}

// The keys in their documented order, so a descriptor missing several reports the first.
void readOutput(const Json& descriptor, std::string_view payload, FrameBuilder& builder) {
  std::vector<std::size_t> shape = readShape(descriptor);
  std::string dtype = readDtype(descriptor);
  const std::uint64_t offset = toCount(descriptor.at("offset"));
  const std::uint64_t nbytes = toCount(descriptor.at("nbytes"));
  builder.output(std::move(shape), std::move(dtype), checkedRegion(offset, nbytes, payload));
}

bool decodeFast(std::string_view manifestText, std::string_view payload, FrameBuilder& builder) {
  std::optional<SimpleManifest> manifest = readSimpleManifest(manifestText);
  if (!manifest) return false;
  builder.structure(std::move(manifest->structure));
  builder.expectOutputs(manifest->arrays.size());
  for (ManifestArray& array : manifest->arrays) {
    builder.output(std::move(array.shape), std::move(array.dtype), checkedRegion(array.offset, array.nbytes, payload));
  }
  return true;
}

void decodeGeneral(std::string_view manifestText, std::string_view payload, FrameBuilder& builder) {
  Json manifest = Json::parse(manifestText.begin(), manifestText.end());
  // Moved, not copied: the same value, and no recursion through a deeply nested tree.
  builder.structure(std::move(manifest.at("structure")));
  const Json& arrays = manifest.at("arrays");
  // Iterating a JSON value visits array elements in order, object members in key order, nothing for
  // null, and a scalar once (which then fails as a descriptor).
  for (const Json& descriptor : arrays) readOutput(descriptor, payload, builder);
}

// The owning road: each output's bytes copied once, into a buffer of its own.
class OwningBuilder final : public FrameBuilder {
 public:
  void structure(Json&& value) override { frame.structure = std::move(value); }
  void expectOutputs(std::size_t count) override { frame.outputs.reserve(count); }
  void output(std::vector<std::size_t>&& shape, std::string&& dtype, std::string_view bytes) override {
    CameraOutput& output = frame.outputs.emplace_back();
    output.shape = std::move(shape);
    output.dtype = std::move(dtype);
    const auto* first = reinterpret_cast<const std::byte*>(bytes.data());
    output.data.assign(first, first + bytes.size());  // the one copy of these bytes
  }

  CameraFrame frame;
};

CameraFrame decodeOwning(const HttpResponse& response, ManifestRoad road) {
  OwningBuilder builder;
  decodeInto(response.status, response.body, builder, road);
  return std::move(builder.frame);
}

}  // namespace

bool decodeInto(long status, std::string_view body, FrameBuilder& builder, ManifestRoad road) {
  const std::size_t manifestEnd = checkedReply(status, body);
  const std::string_view manifest = body.substr(kHeaderSize, manifestEnd - kHeaderSize);
  const std::string_view payload = body.substr(manifestEnd);
  if (road != ManifestRoad::generalOnly && decodeFast(manifest, payload, builder)) return true;
  if (road == ManifestRoad::fastOnly) return false;
  decodeGeneral(manifest, payload, builder);
  return true;
}

std::optional<CameraFrame> decodeFrameFast(const HttpResponse& response) {
  OwningBuilder builder;
  if (!decodeInto(response.status, response.body, builder, ManifestRoad::fastOnly)) return std::nullopt;
  return std::move(builder.frame);
}

CameraFrame decodeFrame(const HttpResponse& response) { return decodeOwning(response, ManifestRoad::fastThenGeneral); }

CameraFrame decodeFrameGeneral(const HttpResponse& response) {
  return decodeOwning(response, ManifestRoad::generalOnly);
}

}  // namespace corvane::detail
