// Writes sample recordings for checks by other MCAP readers (scripts/mcap-check): the same session with each
// compression, and one cut short. Each holds JSON messages, rgb8 and 32FC1 images and an int32 array, in chunks
// small enough to make several, and steps (an image referenced where it lies, an array, a JSON record).
// video.mcap holds the rgb output as H.264 and a second camera's as JPEG.
//
//   corvane-record-sample <folder>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "corvane/record/recorder.hpp"

namespace {

using corvane::Compression;

void record(const std::string& path, Compression compression) {
  corvane::RecorderOptions options;
  options.compression = compression;
  options.chunkSize = 64U << 10;
  corvane::Recorder recorder(path, options);
  const auto observer = recorder.observer();
  const std::vector<std::size_t> rgbShape{48, 64, 3}, depthShape{48, 64}, arrayShape{2, 3};
  std::vector<std::byte> rgb(48 * 64 * 3), depth(48 * 64 * 4), array(2 * 3 * 4);
  const nlohmann::json structure = {
      {"rgb", {{"__ndarray__", 0}}}, {"depth", {{"__ndarray__", 1}}}, {"ids", {{"__ndarray__", 2}}}, {"frequency", 30}};
  const auto base = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  for (int i = 0; i < 40; ++i) {
    for (std::size_t b = 0; b < rgb.size(); ++b) rgb[b] = static_cast<std::byte>((b + i) % 251);
    const auto at = base + std::chrono::milliseconds(33 * i);
    recorder.write("/episode", {{"event", i == 0 ? "start" : "step"}, {"i", i}}, at);
    observer->onFrame({"/World/camera",
                       &structure,
                       {{"rgb", &rgbShape, "uint8", rgb.data(), rgb.size()},
                        {"depth", &depthShape, "float32", depth.data(), depth.size()},
                        {"ids", &arrayShape, "int32", array.data(), array.size()}},
                       at,
                       at + std::chrono::milliseconds(5)});
    if (i % 10 == 0) {  // 4 steps of 3 messages, logged now (after the session's times)
      const auto pixels = std::make_shared<std::vector<std::byte>>(rgb);
      const corvane::StepArray image{rgbShape, "uint8", pixels->data(), pixels->size(), pixels};
      const std::vector<double> state{0.1, 0.2};
      recorder.step({{{"rgb", image}, {"state", corvane::StepArray::of(state)}}, {}, {}, {}, {}});
    }
  }
  recorder.close();
}

// Moving stripes with grain, so that the video has something to encode.
void paint(std::vector<std::byte>& rgb, int frame) {
  for (std::size_t b = 0; b < rgb.size(); ++b) {
    const std::size_t x = (b / 3) % 64;
    rgb[b] = static_cast<std::byte>(((x + frame) % 16) * 12 + (b * 2654435761U >> 28) + (b % 3) * 30);
  }
}

void recordVideo(const std::string& path) {
  corvane::RecorderOptions options;
  options.video = corvane::VideoFormat::h264;
  options.videoByOutput["jpeg"] = corvane::VideoFormat::jpeg;
  options.keyframeInterval = std::chrono::milliseconds(300);
  options.chunkSize = 16U << 10;
  corvane::Recorder recorder(path, options);
  const auto observer = recorder.observer();
  const std::vector<std::size_t> rgbShape{48, 64, 3};
  std::vector<std::byte> rgb(48 * 64 * 3);
  const nlohmann::json structure = {{"rgb", {{"__ndarray__", 0}}}, {"jpeg", {{"__ndarray__", 1}}}};
  const auto base = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  for (int i = 0; i < 30; ++i) {
    paint(rgb, i);
    const auto at = base + std::chrono::milliseconds(33 * i);
    observer->onFrame(
        {"/World/camera",
         &structure,
         {{"rgb", &rgbShape, "uint8", rgb.data(), rgb.size()}, {"jpeg", &rgbShape, "uint8", rgb.data(), rgb.size()}},
         at,
         at + std::chrono::milliseconds(5)});
  }
  recorder.close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " <folder>\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  record((folder / "none.mcap").string(), Compression::none);
  record((folder / "lz4.mcap").string(), Compression::lz4);
  record((folder / "zstd.mcap").string(), Compression::zstd);
  recordVideo((folder / "video.mcap").string());
  // Cut in the middle of the data: no summary, no footer, a torn chunk at the end.
  const auto size = std::filesystem::file_size(folder / "zstd.mcap");
  std::filesystem::copy_file(folder / "zstd.mcap", folder / "cut.mcap",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(folder / "cut.mcap", size * 2 / 3);
  return 0;
}
