#include "capture_frame.hpp"

#include <cstddef>

#include "frame_writer.hpp"

namespace corvane::bench {

std::string captureFrame(std::uint64_t width, std::uint64_t height) {
  frame_writer::FrameWriter writer;
  const std::uint64_t pixels = width * height;
  writer.reserve("rgb", {height, width, 3}, "uint8", pixels * 3);
  writer.reserve("distance_to_image_plane", {height, width}, "float32", pixels * 4);
  writer.reserve("semantic_segmentation", {height, width}, "uint32", pixels * 4);
  for (std::size_t i = 0; i < 3; ++i) {
    char* bytes = writer.data(i);
    const std::size_t size = pixels * (i == 0 ? 3 : 4);
    for (std::size_t b = 0; b < size; ++b) bytes[b] = static_cast<char>((b * 7 + i) & 0xFF);
  }
  writer.structure()["camera_pose"] = {{"position", {0.0, 0.0, 1.5}}, {"orientation", {1.0, 0.0, 0.0, 0.0}}};
  return std::move(writer).finish();
}

}  // namespace corvane::bench
