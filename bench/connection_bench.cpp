// Connections: reuse against raw libcurl and against a connection per request (plain and TLS), the other
// ways of keeping connections that were measured to choose the client's, and captures done together.
#include <chrono>
#include <string>
#include <vector>

#include <corvane/corvane.hpp>
#include <frame_writer.hpp>

#include "support/raw_curl.hpp"
#include "support/side_by_side.hpp"
#include "support/tls_server.hpp"
#include "support/workloads.hpp"
#include "test_bridge.hpp"

namespace corvane::bench {
namespace {

using std::chrono::milliseconds;

bool isExpected(long status, const std::string& body) { return status == 200 && body == kGetReply; }

IsaacSimClient clientFor(const std::string& base, const ClientOptions& options) {
  return IsaacSimClient("bench", base, "ws://unused", milliseconds(kTimeoutMs), 0, options);
}

ClientOptions reusing(std::string caFile = {}) {
  ClientOptions options;
  options.reuseConnections = true;
  options.caFile = std::move(caFile);
  return options;
}

Side clientSide(std::string key, IsaacSimClient& client) {
  return {std::move(key), [&client] {
            const HttpResponse r = client.get(kGetTarget);
            check(isExpected(r.status, r.body), "client.get reply");
          }};
}

template <class Requests>
Side rawSide(std::string key, Requests& requests) {
  return {std::move(key), [&requests] {
            const RawReply& r = requests.get();
            check(isExpected(r.status, r.body), "raw reply");
          }};
}

// The reusing client against a raw handle kept for every request (the floor), the client without reuse,
// and the other mechanisms: a share object holding the connection cache with a fresh handle run by
// curl_easy_perform, one pooled handle reset for every request, and a multi handle holding the connections
// with a fresh easy handle per request. The client keeps connections in multi handles ("lanes") that also
// keep their easy handles, reset for each attempt.
void restGetReuse(benchmark::State& state) {
  testing::TestBridge server({{{kGetTarget, kGetReply}}, {}, {}});
  IsaacSimClient reuse = clientFor(server.baseUrl(), reusing());
  IsaacSimClient fresh("bench", server.baseUrl(), server.wsBaseUrl(), milliseconds(kTimeoutMs), 0);
  const std::string url = server.baseUrl() + kGetTarget.substr(1);
  ReusedHandle reused(url, kTimeoutMs);
  SharedCacheRequests shared(url, kTimeoutMs);
  PooledHandleRequests pooled(url, kTimeoutMs);
  FreshHandleLane lane(url, kTimeoutMs);
  runSideBySide(state, batchSize(100),
                {clientSide("lib", reuse), rawSide("reused", reused), clientSide("fresh", fresh),
                 rawSide("share", shared), rawSide("pool", pooled), rawSide("lane", lane)});
}

void httpsGet(benchmark::State& state) {
  TlsLoopbackServer server(kGetReply);
  IsaacSimClient reuse = clientFor(server.baseUrl(), reusing(server.certificateFile()));
  ClientOptions verifying;
  verifying.caFile = server.certificateFile();
  IsaacSimClient fresh = clientFor(server.baseUrl(), verifying);
  ReusedHandle reused(server.baseUrl() + kGetTarget.substr(1), kTimeoutMs, server.certificateFile());
  runSideBySide(state, batchSize(50),
                {clientSide("lib", reuse), clientSide("fresh", fresh), rawSide("reused", reused)});
}

// Four cameras whose captures each take D = 20 ms at the server: captureAll against one capture (the least
// any capture takes) and against the four one after another.
void captureAllFour(benchmark::State& state) {
  constexpr milliseconds kDelay(20);
  const std::vector<std::string> cameras = {"/World/cam0", "/World/cam1", "/World/cam2", "/World/cam3"};
  frame_writer::FrameWriter writer;
  const std::vector<std::uint8_t> rgb(64 * 48 * 3, 7);
  writer.add("rgb", {48, 64, 3}, "uint8", rgb.data(), rgb.size());
  const std::string frame = writer.finish();
  testing::CannedRoutes routes;
  for (const std::string& camera : cameras) {
    routes.http["/cameras/" + camera + "/capture"] = frame;
    routes.delays["/cameras/" + camera + "/capture"] = kDelay;
  }
  testing::TestBridge server(std::move(routes));
  IsaacSimClient client("bench", server.baseUrl(), server.wsBaseUrl(), milliseconds(kTimeoutMs), 0);
  const std::vector<std::string> types = {"rgb"};
  runSideBySide(state, batchSize(5),
                {{"lib", [&] { check(client.camera.captureAll(cameras, types).size() == 4, "captureAll frames"); }},
                 {"one", [&] { check(client.camera.capture(cameras[0], types).outputs.size() == 1, "capture"); }},
                 {"seq", [&] {
                    for (const std::string& camera : cameras) {
                      check(client.camera.capture(camera, types).outputs.size() == 1, "capture");
                    }
                  }}});
  state.counters["delay_ns"] = static_cast<double>(std::chrono::nanoseconds(kDelay).count());
}

}  // namespace

void registerBenchmarks() {
  benchmark::RegisterBenchmark("rest_get/reuse_vs_raw_reused_fresh_share_pool_lane", restGetReuse)
      ->Iterations(rounds(30))
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("https_get/reuse_vs_fresh_vs_raw_reused", httpsGet)
      ->Iterations(rounds(20))
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("capture_all/4_cameras_vs_one_vs_sequential", captureAllFour)
      ->Iterations(rounds(20))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace corvane::bench
