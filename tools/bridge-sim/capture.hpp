#pragma once

// Turns a capture snapshot into a binary camera frame: the requested images rendered straight into the
// frame's payload, described in its structure.
#include <optional>
#include <string>
#include <vector>

#include "scene.hpp"

namespace bridge_sim {

/// The output names a capture may ask for; absent means rgb and depth. Unknown or repeated names are 400.
std::vector<std::string> checkDataTypes(const std::optional<std::vector<std::string>>& requested);

/// Renders and encodes the frame. `worldFrame` adds the camera's world pose to the structure.
std::string encodeCapture(const CaptureJob& job, const std::vector<std::string>& dataTypes, bool worldFrame);

}  // namespace bridge_sim
