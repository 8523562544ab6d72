#pragma once

// Still images: JPEG through libjpeg-turbo, PNG through libpng.
#include <string>
#include <string_view>

#include "media/video_decoder.hpp"

namespace corvane::media {

/// JPEG at `quality` (1-100), 4:4:4 chroma; rgb8, rgba8 (alpha dropped) or mono8.
std::string encodeJpeg(const ImageView& image, int quality);
/// Lossless PNG of the image's own layout.
std::string encodePng(const ImageView& image);
/// Decodes a JPEG or PNG (told apart by their signatures) to rgb8 into target(width, height).
void decodeImage(std::string_view data, const FrameTarget& target);

}  // namespace corvane::media
