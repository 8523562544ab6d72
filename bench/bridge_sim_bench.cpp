// The simulated bridge end to end: capture time at 640x480 and 1920x1080 (camera.capture against a raw
// libcurl POST of the same request, so the difference is the client's share, decoding included), and how
// many joint-stream samples per second actually arrive against the rate the bridge was asked for.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <corvane/corvane.hpp>
#include <server.hpp>

#include "support/raw_curl.hpp"
#include "support/side_by_side.hpp"
#include "support/workloads.hpp"

namespace corvane::bench {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kDataTypes = {"rgb", "depth", "semantic_segmentation"};

struct RunningBridge {
  explicit RunningBridge(double streamRate) : server(options(streamRate)), client(clientOf(started(server))) {}
  static bridge_sim::ServerOptions options(double streamRate) {
    bridge_sim::ServerOptions o;
    o.streamRate = streamRate;
    return o;
  }
  static IsaacSimClient clientOf(const bridge_sim::Server& server) {
    return IsaacSimClient("bench", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0);
  }
  static bridge_sim::Server& started(bridge_sim::Server& server) {
    server.start();  // the port is known only once it listens
    return server;
  }
  bridge_sim::Server server;
  IsaacSimClient client;
};

void capture(benchmark::State& state, int width, int height, int batch) {
  RunningBridge bridge(60.0);
  const std::string prim = "/World/camera";
  bridge.client.camera.create(prim, std::vector<int>{width, height});
  const std::string url = bridge.server.httpUrl() + "cameras/" + prim + "/capture";
  const std::string body = nlohmann::json{{"data_types", kDataTypes}}.dump();
  const std::size_t expectedBytes = static_cast<std::size_t>(width) * height * 11;
  runSideBySide(state, batchSize(batch),
                {{"lib",
                  [&] {
                    const CameraFrame frame = bridge.client.camera.capture(prim, kDataTypes);
                    std::size_t bytes = 0;
                    for (const CameraOutput& output : frame.outputs) bytes += output.data.size();
                    check(frame.outputs.size() == 3 && bytes == expectedBytes, "camera.capture outputs");
                  }},
                 {"raw", [&] {
                    const RawReply reply = rawRequest(url, 30000, "POST", body);
                    check(reply.status == 200 && reply.body.size() > expectedBytes, "raw capture reply");
                  }}});
}

// Samples that arrive per second over `seconds`, read as a host loop would (waiting on the socket).
double achievedRate(WebSocketStream& stream, double seconds) {
  const auto warmUpEnd = Clock::now() + std::chrono::milliseconds(200);
  while (Clock::now() < warmUpEnd) (void)stream.receiveFor(std::chrono::milliseconds(50));
  int samples = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const std::optional<std::string> sample = stream.receiveFor(std::chrono::milliseconds(50));
    if (sample) {
      check(sample->find("joint_positions") != std::string::npos, "a joint-position sample");
      ++samples;
    }
  }
  return samples / std::chrono::duration<double>(Clock::now() - start).count();
}

void jointStreamRate(benchmark::State& state, double configured) {
  RunningBridge bridge(configured);
  bridge.client.articulation.create("/World/arm");
  WebSocketStream stream = bridge.client.articulation.streamJointPositions("/World/arm");
  double achieved = 0;
  for (auto _ : state) achieved = achievedRate(stream, smokeRun() ? 0.3 : 3.0);
  check(achieved > 0, "no joint-position sample arrived");
  state.counters["lib_hz"] = achieved;
  state.counters["configured_hz"] = configured;
  state.counters["ratio_configured"] = achieved / configured;
}

}  // namespace

void registerBenchmarks() {
  const auto addCapture = [](const char* name, int width, int height, int batch) {
    benchmark::RegisterBenchmark(name, capture, width, height, batch)
        ->Iterations(rounds(10))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  };
  addCapture("bridge_sim/capture_vs_raw_post/640x480", 640, 480, 5);
  addCapture("bridge_sim/capture_vs_raw_post/1920x1080", 1920, 1080, 2);
  for (const double rate : {60.0, 1000.0}) {
    benchmark::RegisterBenchmark(
        ("bridge_sim/joint_stream_rate/" + std::to_string(static_cast<int>(rate)) + "Hz").c_str(), jointStreamRate,
        rate)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace corvane::bench
