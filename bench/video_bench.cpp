// Encoded camera channels on textured 640x480 rgb frames (the simulated bridge's noisy render, capsules
// moving, 30 Hz): the encoders side by side (H.264, JPEG at 90, PNG, and zstd over the raw bytes as the
// baseline), with the sizes and the PSNR of the decoded frames against the raw ones as counters. The capture
// loops recorded each way are rows of bench/record_bench.cpp.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <zstd.h>

#include <corvane/record/recorder.hpp>
#include <corvane/record/recording_reader.hpp>
#include <render.hpp>

#include "media/image_codec.hpp"
#include "media/video_decoder.hpp"
#include "support/side_by_side.hpp"

namespace corvane::bench {
namespace {

namespace fs = std::filesystem;
constexpr int kWidth = 640, kHeight = 480, kFrames = 60;

// Two arm-like capsules sweeping in front of a camera above the textured ground, 1/30 s apart.
std::vector<std::string> texturedFrames() {
  std::vector<std::string> frames;
  for (int i = 0; i < kFrames; ++i) {
    bridge_sim::RenderInput input;
    input.width = kWidth;
    input.height = kHeight;
    input.camera.position = {-1.5, 0, 1.0};
    input.camera.orientation = bridge_sim::axisAngle({0, 1, 0}, 0.45);
    input.textured = true;
    input.time = i / 30.0;
    input.step = static_cast<std::uint64_t>(i) * 4;
    const double angle = 0.04 * i;
    input.capsules.push_back({{0, 0, 0}, {0.3 * std::cos(angle), 0.3 * std::sin(angle), 0.5}, 0.06, {200, 90, 40}, 2});
    input.capsules.push_back(
        {{0.3 * std::cos(angle), 0.3 * std::sin(angle), 0.5}, {0.5, -0.2 + 0.01 * i, 0.3}, 0.05, {60, 120, 210}, 3});
    std::string rgb(kWidth * kHeight * 3, '\0');
    bridge_sim::RenderTargets targets;
    targets.rgb = rgb.data();
    bridge_sim::render(input, targets);
    frames.push_back(std::move(rgb));
  }
  return frames;
}

double psnr(const std::string& raw, const std::vector<std::uint8_t>& decoded) {
  double sum = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const double d = static_cast<std::uint8_t>(raw[i]) - double(decoded[i]);
    sum += d * d;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(raw.size()) / sum);
}

fs::path scratch(const std::string& name) {
  const fs::path dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  return dir / ("corvane-bench-" + std::to_string(::getpid()) + "-" + name);
}

// The frames recorded as one camera's rgb output at 30 Hz; the file's size.
double recordedBytes(const std::vector<std::string>& frames, VideoFormat format) {
  const fs::path path = scratch("sizes.mcap");
  {
    RecorderOptions options;
    options.video = format;
    Recorder recorder(path.string(), options);
    const auto observer = recorder.observer();
    const std::vector<std::size_t> shape{kHeight, kWidth, 3};
    const nlohmann::json structure = {{"rgb", {{"__ndarray__", 0}}}};
    const auto base = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const auto at = base + std::chrono::microseconds(33333 * i);
      observer->onFrame(
          {"/World/camera",
           &structure,
           {{"rgb", &shape, "uint8", reinterpret_cast<const std::byte*>(frames[i].data()), frames[i].size()}},
           at,
           at});
    }
    recorder.close();
  }
  const auto size = static_cast<double>(fs::file_size(path));
  fs::remove(path);
  return size;
}

media::ImageView view(const std::string& frame) {
  return {reinterpret_cast<const std::uint8_t*>(frame.data()), kWidth, kHeight, media::PixelFormat::rgb8};
}

// Encoders side by side on the same frames (encoding only); then the encoded frames are decoded for their
// quality, and the frames recorded each way for the file sizes.
void encoders(benchmark::State& state) {
  const std::vector<std::string> frames = texturedFrames();
  media::VideoEncoderOptions options;
  options.width = kWidth;
  options.height = kHeight;
  media::VideoEncoder h264(options);
  std::vector<std::pair<std::size_t, std::string>> videoPackets, jpegs;  // (frame index, bytes)
  std::int64_t pts = 0;
  std::size_t nextJpeg = 0, nextPng = 0, nextZstd = 0;
  std::string compressed(ZSTD_compressBound(frames[0].size()), '\0');
  const auto frame = [&frames](std::size_t i) -> const std::string& { return frames[i % frames.size()]; };
  runSideBySide(state, batchSize(10),
                {{"h264",
                  [&] {
                    const auto index = static_cast<std::size_t>(pts);
                    for (auto& packet : h264.encode(view(frame(index)).data, pts, pts % 30 == 0)) {
                      videoPackets.emplace_back(static_cast<std::size_t>(packet.pts), std::move(packet.data));
                    }
                    ++pts;
                  }},
                 {"jpeg",
                  [&] {
                    jpegs.emplace_back(nextJpeg, media::encodeJpeg(view(frame(nextJpeg)), 90));
                    ++nextJpeg;
                  }},
                 {"png", [&] { (void)media::encodePng(view(frame(nextPng++))); }},
                 {"zstd", [&] {
                    const std::string& raw = frame(nextZstd++);
                    const std::size_t size =
                        ZSTD_compress(compressed.data(), compressed.size(), raw.data(), raw.size(), 3);
                    check(!ZSTD_isError(size), "zstd");
                  }}});
  media::VideoDecoder decoder(media::VideoCodec::h264);
  std::vector<std::uint8_t> decoded(frames[0].size());
  const auto into = [&](int, int) { return decoded.data(); };
  double worstH264 = 99, worstJpeg = 99, videoBytes = 0, jpegBytes = 0;
  for (const auto& [index, packet] : videoPackets) {
    check(decoder.decode(packet, into) == 1, "one picture per packet");
    worstH264 = std::min(worstH264, psnr(frame(index), decoded));
    videoBytes += double(packet.size());
  }
  for (const auto& [index, jpeg] : jpegs) {
    media::decodeImage(jpeg, into);
    worstJpeg = std::min(worstJpeg, psnr(frame(index), decoded));
    jpegBytes += double(jpeg.size());
  }
  const double raw = recordedBytes(frames, VideoFormat::none), video = recordedBytes(frames, VideoFormat::h264),
               jpeg = recordedBytes(frames, VideoFormat::jpeg);
  state.counters["raw_zstd_file_bytes"] = raw;
  state.counters["h264_file_bytes"] = video;
  state.counters["jpeg_file_bytes"] = jpeg;
  state.counters["raw_over_h264"] = raw / video;
  state.counters["raw_over_jpeg"] = raw / jpeg;
  state.counters["h264_psnr_min"] = worstH264;
  state.counters["jpeg_psnr_min"] = worstJpeg;
  state.counters["h264_bytes_per_frame"] = videoBytes / double(videoPackets.size());
  state.counters["jpeg_bytes_per_frame"] = jpegBytes / double(jpegs.size());
  state.counters["raw_bytes_per_frame"] = double(frames[0].size());
}

}  // namespace

void registerBenchmarks() {
  benchmark::RegisterBenchmark("video/encoders_640x480_textured", encoders)
      ->Iterations(rounds(6))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace corvane::bench
