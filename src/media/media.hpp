#pragma once

// What the media codecs share: pixel layouts, views of raw images and the one error they throw.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvane::media {

/// Packed pixel layouts, rows without padding.
enum class PixelFormat { rgb8, rgba8, mono8 };

std::size_t bytesPerPixel(PixelFormat format) noexcept;

/// A raw image the caller owns: width x height pixels of `format`, row after row.
struct ImageView {
  const std::uint8_t* data = nullptr;
  int width = 0, height = 0;
  PixelFormat format = PixelFormat::rgb8;
};

/// A codec refused to open, encode or decode.
class MediaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace corvane::media
