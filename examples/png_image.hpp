#pragma once

// Writing the examples' pictures with libpng: 8-bit RGB, and depth maps in false colour.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace examples {

/// Writes `rgb` (height x width x 3 bytes, rows top to bottom) as an RGB PNG; throws std::runtime_error.
void writeRgbPng(const std::string& path, std::size_t width, std::size_t height, const std::uint8_t* rgb);

/// Colours a depth map (metres; NaN and infinities are "nothing there") from near (warm) to far (cool);
/// nothing there is black. The colours span the nearest nine tenths of the finite values.
std::vector<std::uint8_t> colourDepth(const std::vector<float>& depth);

}  // namespace examples
