// Camera frame decoding against its limit: every output must own one copy of its bytes, so the floor is
// memcpy of the same payload regions into fresh buffers. Also the decoder's allocations for a full frame.
// The shared road (outputs as views of the reply) against a bare sized download, the owning capture, and
// its own decode of a small frame, plus its peak memory for a full-HD capture.
#include <malloc.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <corvane/corvane.hpp>
#include "support/alloc_counter.hpp"
#include "support/capture_frame.hpp"
#include "support/raw_curl.hpp"
#include "support/side_by_side.hpp"
#include "support/workloads.hpp"
#include "test_bridge.hpp"

namespace corvane::bench {
namespace {

struct Region {
  const std::byte* data;
  std::size_t size;
};

HttpResponse captureReply(std::uint64_t width, std::uint64_t height) {
  HttpResponse reply;
  reply.status = 200;
  reply.body = captureFrame(width, height);
  return reply;
}

// The payload regions of each output, found once from a decode checked byte for byte against them.
std::vector<Region> payloadRegions(const HttpResponse& reply) {
  std::uint32_t manifestLength = 0;
  for (int i = 3; i >= 0; --i) manifestLength = (manifestLength << 8) | static_cast<unsigned char>(reply.body[4 + i]);
  const auto* next = reinterpret_cast<const std::byte*>(reply.body.data()) + 8 + manifestLength;
  const CameraFrame frame = detail::decodeFrame(reply);
  std::vector<Region> regions;
  for (const CameraOutput& output : frame.outputs) {  // the writer lays the arrays out back to back
    check(std::memcmp(output.data.data(), next, output.data.size()) == 0, "decoded bytes differ from the payload");
    regions.push_back({next, output.data.size()});
    next += output.data.size();
  }
  check(regions.size() == 3, "three outputs decoded");
  return regions;
}

void copyIntoFreshBuffers(const std::vector<Region>& regions) {
  std::vector<std::unique_ptr<std::byte[]>> copies;
  copies.reserve(regions.size());
  for (const Region& region : regions) {
    copies.emplace_back(new std::byte[region.size]);
    std::memcpy(copies.back().get(), region.data, region.size);
    benchmark::DoNotOptimize(copies.back().get());
  }
  benchmark::ClobberMemory();
}

void decodeVsMemcpy(benchmark::State& state, std::uint64_t width, std::uint64_t height, int batch) {
  const HttpResponse reply = captureReply(width, height);
  const std::vector<Region> regions = payloadRegions(reply);
  runSideBySide(state, batchSize(batch),
                {{"lib",
                  [&] {
                    const CameraFrame frame = detail::decodeFrame(reply);
                    benchmark::DoNotOptimize(frame.outputs.data());
                  }},
                 {"memcpy", [&] { copyIntoFreshBuffers(regions); }}});
  state.counters["frame_bytes"] = static_cast<double>(reply.body.size());
}

// A full-HD capture from a canned server, end to end: camera.capture (a fresh connection, the body sized
// from Content-Length, one copy per output) against raw libcurl doing just that by hand.
void captureTransfer(benchmark::State& state) {
  const HttpResponse reply = captureReply(1920, 1080);
  const auto* start = reinterpret_cast<const std::byte*>(reply.body.data());
  std::vector<Region> offsets;  // of each output within the body, as data - start
  for (const Region& region : payloadRegions(reply)) offsets.push_back(region);
  const std::string target = "/cameras//World/cam/capture";
  testing::TestBridge server({{{target, reply.body}}, {}, {}});
  IsaacSimClient client("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(kTimeoutMs), 0);
  const std::string url = server.baseUrl() + target.substr(1);
  runSideBySide(state, batchSize(3),
                {{"lib",
                  [&] {
                    const CameraFrame frame = client.camera.capture("/World/cam");
                    check(frame.outputs.size() == 3 && frame.outputs[2].data.size() == offsets[2].size, "capture");
                  }},
                 {"raw", [&] {
                    const RawReply raw = rawSizedRequest(url, kTimeoutMs, "POST", "{}");
                    check(raw.status == 200 && raw.body.size() == reply.body.size(), "raw capture reply");
                    std::vector<Region> regions;
                    for (const Region& region : offsets) {
                      regions.push_back(
                          {reinterpret_cast<const std::byte*>(raw.body.data()) + (region.data - start), region.size});
                    }
                    copyIntoFreshBuffers(regions);
                  }}});
  state.counters["frame_bytes"] = static_cast<double>(reply.body.size());
}

// The body of `reply` as a shared frame's reply, owned by `reply` itself (no copy per decode).
std::shared_ptr<const std::byte> borrowedBody(const HttpResponse& reply) {
  return std::shared_ptr<const std::byte>(std::shared_ptr<const void>(),
                                          reinterpret_cast<const std::byte*>(reply.body.data()));
}

SharedFrame decodeShared(const HttpResponse& reply) {
  return detail::decodeSharedFrame(reply.status, borrowedBody(reply), reply.body.size());
}

// Decoding on the shared road touches the manifest only: a full-HD frame against the owning decoder, and
// against a 1 MiB frame of the same manifest (ratio about 1 when nothing grows with the payload).
void decodeSharedVsOwning(benchmark::State& state) {
  const HttpResponse full = captureReply(1920, 1080);
  const HttpResponse small = captureReply(320, 298);
  runSideBySide(state, batchSize(2),
                {{"shared",
                  [&] {
                    const SharedFrame frame = decodeShared(full);
                    check(frame.outputs().size() == 3, "shared decode");
                  }},
                 {"owning",
                  [&] {
                    const CameraFrame frame = detail::decodeFrame(full);
                    benchmark::DoNotOptimize(frame.outputs.data());
                  }},
                 {"small", [&] {
                    const SharedFrame frame = decodeShared(small);
                    check(frame.outputs().size() == 3, "shared decode");
                  }}});
  state.counters["frame_bytes"] = static_cast<double>(full.body.size());
}

// A full-HD capture end to end on the shared road, against raw libcurl downloading the same reply into a
// buffer sized from Content-Length (and nothing after), and against the owning capture.
void captureSharedTransfer(benchmark::State& state) {
  const HttpResponse reply = captureReply(1920, 1080);
  const std::string target = "/cameras//World/cam/capture";
  testing::TestBridge server({{{target, reply.body}}, {}, {}});
  IsaacSimClient client("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(kTimeoutMs), 0);
  const std::string url = server.baseUrl() + target.substr(1);
  runSideBySide(state, batchSize(3),
                {{"lib",
                  [&] {
                    const SharedFrame frame = client.camera.captureShared("/World/cam");
                    check(frame.replySize() == reply.body.size() && frame.outputs().size() == 3, "shared capture");
                  }},
                 {"raw",
                  [&] {
                    const RawReply raw = rawSizedRequest(url, kTimeoutMs, "POST", "{}");
                    check(raw.status == 200 && raw.body.size() == reply.body.size(), "raw capture reply");
                  }},
                 {"capture", [&] {
                    const CameraFrame frame = client.camera.capture("/World/cam");
                    check(frame.outputs.size() == 3, "capture");
                  }}});
  state.counters["frame_bytes"] = static_cast<double>(reply.body.size());
}

// What one full-HD capture on the shared road allocates through operator new on the calling thread (where the
// client does all its work; the in-process server's thread is left out, and libcurl's own malloc is not
// counted): the reply plus what the manifest needs, at its peak and in all. Checked, like the decoder's.
void captureSharedMemory(benchmark::State& state) {
  const HttpResponse reply = captureReply(1920, 1080);
  const std::string target = "/cameras//World/cam/capture";
  testing::TestBridge server({{{target, reply.body}}, {}, {}});
  IsaacSimClient client("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(kTimeoutMs), 0);
  // Warm-up (libcurl's one-time set-up is not the capture's), its frame kept so that no block kept from an
  // earlier reply serves the measured one: its buffer is allocated, and counted.
  const SharedFrame warm = client.camera.captureShared("/World/cam");
  AllocStats stats;
  for (auto _ : state) {
    AllocScope scope(true);
    const SharedFrame frame = client.camera.captureShared("/World/cam");
    stats = scope.stats();
    check(stats.bytes >= reply.body.size(), "the measured capture's buffer was not counted");
  }
  constexpr std::size_t kManifestBound = 64 * 1024;
  const std::size_t body = reply.body.size();
  check(stats.peakLive <= body + kManifestBound, "a shared capture peaked at " + std::to_string(stats.peakLive) +
                                                     " bytes for a reply of " + std::to_string(body));
  check(stats.bytes <= body + kManifestBound,
        "a shared capture allocated " + std::to_string(stats.bytes) + " bytes for a reply of " + std::to_string(body));
  state.counters["frame_bytes"] = static_cast<double>(body);
  state.counters["allocations"] = static_cast<double>(stats.allocations);
  state.counters["extra_bytes"] = static_cast<double>(stats.bytes - body);
  state.counters["peak_extra_bytes"] = static_cast<double>(stats.peakLive - body);
}

struct DecodeMemory {
  AllocStats stats;
  std::size_t outputBytes = 0;  // usable sizes of the outputs' own buffers
  std::size_t extra() const { return stats.bytes - outputBytes; }
  std::size_t peakExtra() const { return stats.peakLive - outputBytes; }
};

DecodeMemory measureDecode(const HttpResponse& reply) {
  DecodeMemory memory;
  {
    AllocScope scope;
    const CameraFrame frame = detail::decodeFrame(reply);
    memory.stats = scope.stats();
    for (const CameraOutput& output : frame.outputs)
      memory.outputBytes += malloc_usable_size(const_cast<std::byte*>(output.data.data()));
  }
  return memory;
}

// Beyond the body (already there) and the outputs' buffers, decoding may allocate only what the manifest
// needs: the same for a 1 MiB frame as for a full-HD one. Checked here, so the smoke run fails on a
// decoder that copies the body or grows a buffer per payload byte.
void decodeMemory(benchmark::State& state) {
  const HttpResponse small = captureReply(320, 298);
  const HttpResponse full = captureReply(1920, 1080);
  DecodeMemory smallMemory;
  DecodeMemory fullMemory;
  for (auto _ : state) {
    smallMemory = measureDecode(small);
    fullMemory = measureDecode(full);
  }
  constexpr std::size_t kManifestBound = 64 * 1024;
  constexpr std::size_t kSizeIndependence = 4 * 1024;
  const auto differ = [](std::size_t a, std::size_t b) { return a > b ? a - b : b - a; };
  check(fullMemory.extra() <= kManifestBound,
        "decoder allocated " + std::to_string(fullMemory.extra()) + " bytes beyond the outputs of a full-HD frame");
  check(fullMemory.peakExtra() <= kManifestBound,
        "decoder's peak beyond the outputs is " + std::to_string(fullMemory.peakExtra()) + " bytes");
  check(differ(fullMemory.extra(), smallMemory.extra()) <= kSizeIndependence,
        "decoder's extra allocation grows with the frame: " + std::to_string(smallMemory.extra()) + " -> " +
            std::to_string(fullMemory.extra()) + " bytes");
  state.counters["frame_bytes"] = static_cast<double>(full.body.size());
  state.counters["output_bytes"] = static_cast<double>(fullMemory.outputBytes);
  state.counters["allocations"] = static_cast<double>(fullMemory.stats.allocations);
  state.counters["extra_bytes"] = static_cast<double>(fullMemory.extra());
  state.counters["peak_extra_bytes"] = static_cast<double>(fullMemory.peakExtra());
  state.counters["extra_bytes_1MiB"] = static_cast<double>(smallMemory.extra());
}

}  // namespace

void registerBenchmarks() {
  // Both loops allocate megabytes per call. Left to glibc's defaults, whether freed blocks go back to the
  // kernel (and the next call page-faults them in again) depends on which small blocks happen to sit
  // above them in the heap, which differs between the two loops and swamps the copy being compared.
  // Keeping freed memory in the heap makes both loops pay for the copy alone.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  const auto add = [](const char* name, std::uint64_t width, std::uint64_t height, int batch, int measured) {
    benchmark::RegisterBenchmark(name, decodeVsMemcpy, width, height, batch)
        ->Iterations(rounds(measured))
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  };
  add("decode/64KiB_vs_memcpy", 96, 62, 200, 30);
  add("decode/1MiB_vs_memcpy", 320, 298, 20, 30);
  add("decode/1920x1080_vs_memcpy", 1920, 1080, 2, 20);
  benchmark::RegisterBenchmark("decode_memory/1920x1080", decodeMemory)->Iterations(1);
  benchmark::RegisterBenchmark("capture/1920x1080_vs_raw_sized_download", captureTransfer)
      ->Iterations(rounds(20))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("decode_shared/1920x1080_vs_owning_vs_1MiB", decodeSharedVsOwning)
      ->Iterations(rounds(30))
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("capture_shared/1920x1080_vs_raw_sized_download_vs_capture", captureSharedTransfer)
      ->Iterations(rounds(20))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("capture_shared_memory/1920x1080", captureSharedMemory)->Iterations(1);
}

}  // namespace corvane::bench
