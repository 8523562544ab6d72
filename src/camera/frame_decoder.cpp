#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "camera/frame_decoder.hpp"

#include "camera/compact_text.hpp"
#include "camera/json_count.hpp"
#include "camera/manifest_reader.hpp"
#include "client/success_status.hpp"
#include "corvane/errors.hpp"

// The one reader of the binary frame, and the library's one parser of untrusted binary input. Every
// length in it comes from the network: sizes are compared in 64 bits and bounds are tested by
// subtraction from sizes already known to be in range, so no sum can wrap.
namespace corvane::detail {
namespace {

using Json = nlohmann::json;

constexpr std::uint64_t kHeaderSize = 8;
constexpr std::string_view kMagic = "CVB1";

std::uint64_t manifestLength(const std::string& body) {
  std::uint64_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(body[4 + i]);
  return length;
}

// The end of the manifest (8 + L), once the header is known to be sound.
std::size_t checkedManifestEnd(const std::string& body) {
  if (body.size() < kHeaderSize || std::string_view(body).substr(0, kMagic.size()) != kMagic) {
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

void copyRegion(std::uint64_t offset, std::uint64_t nbytes, std::string_view payload, CameraOutput& output) {
  if (offset > payload.size() || nbytes > payload.size() - offset) {
    throw FrameError("camera frame is truncated: an output claims bytes past the end of the body",
                     FrameErrorKind::outputOutOfBounds);
  }
  const auto* first = reinterpret_cast<const std::byte*>(payload.data()) + offset;
  output.data.assign(first, first + nbytes);  // the one copy of these bytes
}

CameraOutput readOutput(const Json& descriptor, std::string_view payload) {
  CameraOutput output;
  output.shape = readShape(descriptor);
  output.dtype = readDtype(descriptor);
  const std::uint64_t offset = toCount(descriptor.at("offset"));
  const std::uint64_t nbytes = toCount(descriptor.at("nbytes"));
  copyRegion(offset, nbytes, payload, output);
  return output;
}

// The end of the manifest of a 2xx frame reply; throws for any other status or an unsound header.
std::size_t checkedReply(const HttpResponse& response) {
  if (!isSuccessStatus(response.status)) throw HTTPError(response.status, response.body);
  return checkedManifestEnd(response.body);
}

}  // namespace

std::optional<CameraFrame> decodeFrameFast(const HttpResponse& response) {
  const std::size_t manifestEnd = checkedReply(response);
  const std::string_view body = response.body;
  std::optional<SimpleManifest> manifest = readSimpleManifest(body.substr(kHeaderSize, manifestEnd - kHeaderSize));
  if (!manifest) return std::nullopt;
  std::optional<CameraFrame> frame(std::in_place);
  frame->structure = std::move(manifest->structure);
  frame->outputs.reserve(manifest->arrays.size());
  const std::string_view payload = body.substr(manifestEnd);
  for (ManifestArray& array : manifest->arrays) {
    CameraOutput& output = frame->outputs.emplace_back();
    output.shape = std::move(array.shape);
    output.dtype = std::move(array.dtype);
    copyRegion(array.offset, array.nbytes, payload, output);
  }
  return frame;
}

CameraFrame decodeFrame(const HttpResponse& response) {
  std::optional<CameraFrame> frame = decodeFrameFast(response);
  return frame ? std::move(*frame) : decodeFrameGeneral(response);
}

CameraFrame decodeFrameGeneral(const HttpResponse& response) {
  const std::string& body = response.body;
  const std::size_t manifestEnd = checkedReply(response);
  Json manifest = Json::parse(body.begin() + kHeaderSize, body.begin() + static_cast<std::ptrdiff_t>(manifestEnd));

  CameraFrame frame;
  // Moved, not copied: the same value, and no recursion through a deeply nested tree.
  frame.structure = std::move(manifest.at("structure"));
  const Json& arrays = manifest.at("arrays");
  const std::string_view payload = std::string_view(body).substr(manifestEnd);
  // Iterating a JSON value visits array elements in order, object members in key order, nothing for
  // null, and a scalar once (which then fails as a descriptor).
  for (const Json& descriptor : arrays) frame.outputs.push_back(readOutput(descriptor, payload));
  return frame;
}

}  // namespace corvane::detail
