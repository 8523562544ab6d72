// Encoded camera channels on textured 640x480 rgb frames (the simulated bridge's noisy render, capsules
// moving, 30 Hz): the encoders side by side (H.264, JPEG at 90, PNG, and zstd over the raw bytes as the
// baseline), with the sizes and the PSNR of the decoded frames against the raw ones as counters; and the
// capture loop recorded with H.264, with JPEG and raw against the same loop unrecorded.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <zstd.h>

#include <corvane/corvane.hpp>
#include <corvane/record/recorder.hpp>
#include <corvane/record/recording_reader.hpp>
#include <render.hpp>
#include <server.hpp>

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

// Encoders side by side on the same frames; sizes and quality as counters.
void encoders(benchmark::State& state) {
  const std::vector<std::string> frames = texturedFrames();
  media::VideoEncoderOptions options;
  options.width = kWidth;
  options.height = kHeight;
  media::VideoEncoder h264(options);
  media::VideoDecoder decoder(media::VideoCodec::h264);
  std::vector<std::uint8_t> decoded(frames[0].size());
  const auto into = [&](int, int) { return decoded.data(); };
  double h264Bytes = 0, worstH264 = 99, worstJpeg = 99, jpegBytes = 0;
  std::int64_t pts = 0;
  std::size_t next = 0, nextJpeg = 0, nextPng = 0, nextZstd = 0;
  std::string compressed(ZSTD_compressBound(frames[0].size()), '\0');
  runSideBySide(
      state, batchSize(10),
      {{"h264",
        [&] {
          const std::string& frame = frames[next++ % frames.size()];
          for (const auto& packet : h264.encode(view(frame).data, pts++, pts % 30 == 0)) {
            h264Bytes += double(packet.data.size());
            check(decoder.decode(packet.data, into) == 1, "one frame per packet");
            worstH264 = std::min(worstH264, psnr(frame, decoded));
          }
        }},
       {"jpeg",
        [&] {
          const std::string& frame = frames[nextJpeg++ % frames.size()];
          const std::string jpeg = media::encodeJpeg(view(frame), 90);
          jpegBytes += double(jpeg.size());
          media::decodeImage(jpeg, into);
          worstJpeg = std::min(worstJpeg, psnr(frame, decoded));
        }},
       {"png", [&] { (void)media::encodePng(view(frames[nextPng++ % frames.size()])); }},
       {"zstd", [&] {
          const std::string& frame = frames[nextZstd++ % frames.size()];
          check(!ZSTD_isError(ZSTD_compress(compressed.data(), compressed.size(), frame.data(), frame.size(), 3)),
                "zstd");
        }}});
  const double raw = recordedBytes(frames, VideoFormat::none), video = recordedBytes(frames, VideoFormat::h264),
               jpeg = recordedBytes(frames, VideoFormat::jpeg);
  state.counters["raw_zstd_file_bytes"] = raw;
  state.counters["h264_file_bytes"] = video;
  state.counters["jpeg_file_bytes"] = jpeg;
  state.counters["raw_over_h264"] = raw / video;
  state.counters["raw_over_jpeg"] = raw / jpeg;
  state.counters["h264_psnr_min"] = worstH264;
  state.counters["jpeg_psnr_min"] = worstJpeg;
  state.counters["h264_bytes_per_frame"] = h264Bytes / double(pts);
  state.counters["jpeg_bytes_per_frame"] = jpegBytes / double(nextJpeg);
}

// A 640x480 textured rgb capture loop recorded in `format` against the same loop unrecorded.
void captureLoop(benchmark::State& state, VideoFormat format) {
  bridge_sim::ServerOptions serverOptions;
  serverOptions.textured = true;
  bridge_sim::Server server(serverOptions);
  server.start();
  const fs::path path = scratch("loop.mcap");
  {
    RecorderOptions recording;
    recording.video = format;
    Recorder recorder(path.string(), recording);
    ClientOptions observed;
    observed.observer = recorder.observer();
    IsaacSimClient plain("plain", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0);
    IsaacSimClient recorded("recorded", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0,
                            observed);
    const std::string prim = "/World/camera";
    plain.camera.create(prim, std::vector<int>{kWidth, kHeight});
    const std::vector<std::string> rgb{"rgb"};
    auto loop = [&](IsaacSimClient& client) {
      return [&client, &prim, &rgb] { check(client.camera.capture(prim, rgb).outputs.size() == 1, "a capture"); };
    };
    runSideBySide(state, batchSize(5), {{"lib", loop(recorded)}, {"plain", loop(plain)}});
    recorder.close();
  }
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(path));
  fs::remove(path);
}

}  // namespace

void registerBenchmarks() {
  benchmark::RegisterBenchmark("video/encoders_640x480_textured", encoders)
      ->Iterations(rounds(6))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  for (const auto& [name, format] : {std::pair{"raw", VideoFormat::none}, std::pair{"h264", VideoFormat::h264},
                                     std::pair{"jpeg", VideoFormat::jpeg}}) {
    benchmark::RegisterBenchmark((std::string("video/capture_loop_recorded_vs_not/") + name).c_str(), captureLoop,
                                 format)
        ->Iterations(rounds(10))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace corvane::bench
