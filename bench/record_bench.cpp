// Recording: a 640x480 rgb+depth capture loop on the simulated bridge recorded (each compression) against the
// same loop unrecorded, and a textured rgb one recorded raw (held, not copied), as H.264 and as JPEG; the MCAP writer
// against a plain write() loop of the same image bytes into /dev/shm; and reading every message of a recording against
// reading its bytes.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <corvane/corvane.hpp>
#include <corvane/record/recorder.hpp>
#include <corvane/record/recording_reader.hpp>
#include <server.hpp>

#include "support/side_by_side.hpp"

namespace corvane::bench {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kRgbDepth = {"rgb", "depth"};

fs::path scratch(const std::string& name) {
  const fs::path dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  return dir / ("corvane-bench-" + std::to_string(::getpid()) + "-" + name);
}

McapWriterOptions compressed(Compression c) {
  McapWriterOptions options;
  options.compression = c;
  return options;
}

const char* nameOf(Compression c) { return c == Compression::none ? "none" : c == Compression::lz4 ? "lz4" : "zstd"; }

// The recorded file's size and its chunks' uncompressed size, as counters.
void fileCounters(benchmark::State& state, const fs::path& path) {
  const RecordingReader reader(path.string());
  double uncompressed = 0;
  for (const auto& chunk : reader.chunks()) uncompressed += static_cast<double>(chunk.uncompressedSize);
  state.counters["file_bytes"] = static_cast<double>(reader.fileSize());
  state.counters["uncompressed_bytes"] = uncompressed;
  state.counters["messages"] = static_cast<double>(reader.statistics().messageCount);
}

// What a recorded capture loop captures and how it records.
struct Loop {
  Compression compression = Compression::zstd;
  VideoFormat video = VideoFormat::none;
  bool textured = false;  ///< the bridge's textured, noisy render
  bool shared = false;    ///< captureShared: no owning copy for the caller (the recorder holds the reply either way)
  std::vector<std::string> outputs = kRgbDepth;
};

// A 640x480 capture loop recorded as `loop` says against the same loop unrecorded.
void captureLoop(benchmark::State& state, const Loop& loop) {
  bridge_sim::ServerOptions options;
  options.textured = loop.textured;
  bridge_sim::Server server(options);
  server.start();
  const fs::path path = scratch("capture.mcap");
  {
    RecorderOptions recording;
    recording.compression = loop.compression;
    recording.video = loop.video;
    Recorder recorder(path.string(), recording);
    ClientOptions observed;
    observed.observer = recorder.observer();
    IsaacSimClient plain("plain", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0);
    IsaacSimClient recorded("recorded", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0,
                            observed);
    const std::string prim = "/World/camera";
    plain.camera.create(prim, std::vector<int>{640, 480});
    auto capture = [&](IsaacSimClient& client) -> std::function<void()> {
      if (loop.shared) {
        return [&] {
          check(client.camera.captureShared(prim, loop.outputs).outputs().size() == loop.outputs.size(), "a capture");
        };
      }
      return
          [&] { check(client.camera.capture(prim, loop.outputs).outputs.size() == loop.outputs.size(), "a capture"); };
    };
    runSideBySide(state, batchSize(5), {{"lib", capture(recorded)}, {"plain", capture(plain)}});
    recorder.close();
  }
  fileCounters(state, path);
  fs::remove(path);
}

// A 640x480 rgb+depth capture loop that records each capture as a step (rgb and depth as they lie in the
// shared frame, a 7-joint state, a 7-wide action), against the same loop without recording: what a step costs
// the loop. `copied` steps owning copies of the outputs instead (each array copied once during the call).
void stepLoop(benchmark::State& state, bool copied) {
  bridge_sim::ServerOptions options;
  bridge_sim::Server server(options);
  server.start();
  const fs::path path = scratch(copied ? "steps-copied.mcap" : "steps.mcap");
  {
    RecorderOptions recording;
    recording.compression = Compression::none;
    Recorder recorder(path.string(), recording);
    IsaacSimClient client("steps", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0);
    const std::string prim = "/World/camera";
    client.camera.create(prim, std::vector<int>{640, 480});
    const std::vector<double> joints(7, 0.25);
    const auto arrayOf = [copied](const SharedOutput& output) {
      StepArray array = StepArray::of(output);
      if (copied) array.owner.reset();  // no owner: the recorder copies the bytes
      return array;
    };
    // The step call's own time on the caller's thread (median), beside the loop's (the writer thread's work is
    // not in it).
    std::vector<double> inStep;
    const auto stepped = [&] {
      const SharedFrame frame = client.camera.captureShared(prim, kRgbDepth);
      check(frame.outputs().size() == 2, "a 640x480 rgb+depth capture");
      const auto start = std::chrono::steady_clock::now();
      recorder.step({{{"rgb", arrayOf(frame.outputs()[0])},
                      {"depth", arrayOf(frame.outputs()[1])},
                      {"state", StepArray::of(joints)}},
                     {{"", StepArray::of(joints)}},
                     {},
                     {},
                     {}});
      inStep.push_back(static_cast<double>((std::chrono::steady_clock::now() - start).count()));
    };
    const auto plain = [&] { check(client.camera.captureShared(prim, kRgbDepth).outputs().size() == 2, "a capture"); };
    runSideBySide(state, batchSize(5), {{"lib", stepped}, {"plain", plain}});
    recorder.close();
    state.counters["step_call_ns"] = median(inStep);
    state.counters["step_call_share"] = state.counters["step_call_ns"].value / state.counters["plain_ns"].value;
  }
  fileCounters(state, path);
  fs::remove(path);
}

// 640x480 rgb image messages: McapWriter (no compression) against write() of the same bytes.
void writerThroughput(benchmark::State& state) {
  const std::string image(640 * 480 * 3, '\x5a');
  const fs::path mcap = scratch("writer.mcap"), raw = scratch("raw.bin");
  std::unique_ptr<McapWriter> writer;
  std::uint16_t channel = 0;
  int fd = -1;
  std::uint64_t time = 0;
  const auto freshWriter = [&](int) {
    writer.reset();  // the files restart every batch, so that /dev/shm holds one batch at a time
    writer = std::make_unique<McapWriter>(mcap.string(), compressed(Compression::none));
    const auto schema = writer->addSchema("sensor_msgs/Image", "ros1msg", "uint8[] data\n");
    channel = writer->addChannel("/camera/rgb", "ros1", schema);
  };
  const auto freshFile = [&](int) {
    if (fd >= 0) ::close(fd);
    fd = ::open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0, "opening the raw file");
  };
  runSideBySide(
      state, batchSize(20),
      {{"lib",
        [&] {
          ++time;
          writer->write(channel, time, time, image);
        },
        {},
        freshWriter},
       {"raw",
        [&] { check(::write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size()), "write()"); },
        {},
        freshFile}});
  writer.reset();
  if (fd >= 0) ::close(fd);
  fs::remove(mcap);
  fs::remove(raw);
}

// Every message of a recording of 20 rgb+depth frames, against reading the file's bytes.
void readAll(benchmark::State& state, Compression compression) {
  const fs::path path = scratch(std::string("read-") + nameOf(compression) + ".mcap");
  {
    McapWriter writer(path.string(), compressed(compression));
    const auto schema = writer.addSchema("sensor_msgs/Image", "ros1msg", "uint8[] data\n");
    const auto rgb = writer.addChannel("/camera/rgb", "ros1", schema);
    const auto depth = writer.addChannel("/camera/depth", "ros1", schema);
    // A gradient with noise in its low bits: about as compressible as a camera picture.
    std::string rgbBytes(640 * 480 * 3, '\0'), depthBytes(640 * 480 * 4, '\0');
    std::uint32_t noise = 12345;
    const auto next = [&noise] { return noise = noise * 1664525U + 1013904223U; };
    for (std::uint64_t i = 0; i < 20; ++i) {
      for (std::size_t b = 0; b < rgbBytes.size(); ++b) {
        rgbBytes[b] = static_cast<char>(((b / 3 + i) % 256 & 0xF8) | (next() >> 29));
      }
      for (std::size_t b = 0; b < depthBytes.size(); b += 4) {
        depthBytes[b + 1] = static_cast<char>(next() >> 24);
        depthBytes[b + 2] = static_cast<char>((b / 2560) % 256);
      }
      writer.write(rgb, i, i, rgbBytes);
      writer.write(depth, i, i, depthBytes);
    }
  }
  const auto size = fs::file_size(path);
  std::string buffer(size, '\0');
  runSideBySide(state, batchSize(3),
                {{"lib",
                  [&] {
                    const RecordingReader reader(path.string());
                    std::size_t count = 0, bytes = 0;
                    reader.forEach({}, [&](const RecordedMessage& m) {
                      ++count;
                      bytes += m.data.size();
                    });
                    check(count == 40 && bytes == 20 * 640 * 480 * 7, "every message read back");
                  }},
                 {"raw", [&] {
                    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                    std::size_t done = 0;
                    while (done < size) {
                      const ssize_t n = ::read(fd, buffer.data() + done, size - done);
                      if (n <= 0) break;
                      done += static_cast<std::size_t>(n);
                    }
                    ::close(fd);
                    check(done == size, "the file's bytes read");
                  }}});
  fileCounters(state, path);
  fs::remove(path);
}

}  // namespace

void registerBenchmarks() {
  const auto loopRow = [](const std::string& name, const Loop& loop) {
    benchmark::RegisterBenchmark(("record/capture_loop_recorded_vs_not/" + name).c_str(), captureLoop, loop)
        ->Iterations(rounds(10))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  };
  for (const Compression c : {Compression::none, Compression::lz4, Compression::zstd}) loopRow(nameOf(c), {c});
  // The uncompressed loop again on the shared road, where the caller makes no owning copy of the outputs.
  loopRow("none_shared", {Compression::none, VideoFormat::none, false, true, kRgbDepth});
  // Textured 640x480 rgb on the shared road: raw (held, not copied), H.264 and JPEG.
  const std::vector<std::string> rgb{"rgb"};
  loopRow("textured_rgb_raw_zstd", {Compression::zstd, VideoFormat::none, true, true, rgb});
  loopRow("textured_rgb_h264", {Compression::zstd, VideoFormat::h264, true, true, rgb});
  loopRow("textured_rgb_jpeg", {Compression::zstd, VideoFormat::jpeg, true, true, rgb});
  for (const bool copied : {false, true}) {
    benchmark::RegisterBenchmark(copied ? "record/step_vs_capture_loop/copied" : "record/step_vs_capture_loop/shared",
                                 stepLoop, copied)
        ->Iterations(rounds(10))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("record/writer_vs_write_loop/640x480_rgb", writerThroughput)
      ->Iterations(rounds(20))
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  for (const Compression c : {Compression::none, Compression::zstd}) {
    benchmark::RegisterBenchmark((std::string("record/read_all_vs_read_bytes/") + nameOf(c)).c_str(), readAll, c)
        ->Iterations(rounds(10))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace corvane::bench
