#pragma once

// The capture reply the frame benchmarks decode: rgb (uint8 x3), distance_to_image_plane (float32) and
// semantic_segmentation (uint32) of width x height pixels, filled with a byte pattern so that a wrong copy
// shows, plus a camera pose in the structure.
#include <cstdint>
#include <string>

namespace corvane::bench {

/// The encoded frame (the HTTP body of the capture reply).
std::string captureFrame(std::uint64_t width, std::uint64_t height);

}  // namespace corvane::bench
