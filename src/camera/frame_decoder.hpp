#pragma once

#include <optional>

#include "corvane/camera.hpp"

// The frame decoder's two manifest readers, exposed for the tests that hold them to the same results.
// decodeFrame() tries the fast one and falls back to the general one.
namespace corvane::detail {

/// Decodes with nlohmann/json's parser: the behaviour decodeFrame() documents, on any body.
CameraFrame decodeFrameGeneral(const HttpResponse& response);

/// Decodes with the fast manifest reader, or returns nullopt when the manifest is outside its subset.
/// Status and header errors are the general decoder's; once the manifest is read, the only error is the
/// general decoder's bounds error, raised for the same descriptor.
std::optional<CameraFrame> decodeFrameFast(const HttpResponse& response);

}  // namespace corvane::detail
