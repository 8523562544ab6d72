#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/camera.hpp"

// The one reader of the binary frame, shared by the owning road (CameraFrame) and the shared road
// (SharedFrame): the same checks, in the same order, with the same errors; the roads differ only in what
// they make of each output's bytes.
namespace corvane::detail {

/// What a decode makes of a frame, told step by step once each step's checks have passed.
class FrameBuilder {
 public:
  FrameBuilder() = default;
  FrameBuilder(const FrameBuilder&) = delete;
  FrameBuilder& operator=(const FrameBuilder&) = delete;
  virtual ~FrameBuilder() = default;

  /// The manifest's "structure", whole.
  virtual void structure(nlohmann::json&& value) = 0;
  /// How many outputs follow, when known in advance.
  virtual void expectOutputs(std::size_t count) = 0;
  /// The next output; `bytes` is its region of the body, already known to lie inside the payload.
  virtual void output(std::vector<std::size_t>&& shape, std::string&& dtype, std::string_view bytes) = 0;
};

/// Which manifest reader a decode uses: the fast one, falling back to nlohmann/json's parser outside its
/// subset (what the decoders do), or one of them alone (for the tests that hold them to the same results).
enum class ManifestRoad { fastThenGeneral, fastOnly, generalOnly };

/// Decodes the reply of `status` with `body` into `builder`. Throws decodeFrame()'s errors. Returns false
/// (having told the builder nothing) only for fastOnly on a manifest outside the fast reader's subset.
bool decodeInto(long status, std::string_view body, FrameBuilder& builder, ManifestRoad road);

/// Decodes with nlohmann/json's parser: the behaviour decodeFrame() documents, on any body.
CameraFrame decodeFrameGeneral(const HttpResponse& response);

/// Decodes with the fast manifest reader, or returns nullopt when the manifest is outside its subset.
/// Status and header errors are the general decoder's; once the manifest is read, the only error is the
/// general decoder's bounds error, raised for the same descriptor.
std::optional<CameraFrame> decodeFrameFast(const HttpResponse& response);

}  // namespace corvane::detail
