// WebSocket streams against raw curl_ws_recv / curl_ws_send loops on the same server: small JSON frames
// (the joint stream's size) and 1 MiB frames, pushed or swallowed as fast as the server can. Before each
// batch the receiving side asks the server for exactly that many frames (untimed).
#include <chrono>
#include <optional>
#include <string>

#include <corvane/corvane.hpp>

#include "support/raw_websocket.hpp"
#include "support/receive_side.hpp"
#include "support/side_by_side.hpp"
#include "support/workloads.hpp"
#include "test_bridge.hpp"

namespace corvane::bench {
namespace {

testing::CannedRoutes routes() {
  testing::CannedRoutes routes;
  routes.push["/" + streamPath(kSmallPrim)] = kSmallFrame;
  routes.push["/" + streamPath(kLargePrim)] = kLargeFrame;
  return routes;
}

void receiveFrames(benchmark::State& state, const std::string* payload, int batch) {
  testing::TestBridge server(routes());
  IsaacSimClient client("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(kTimeoutMs), 0);
  WebSocketStream stream = client.openJointPositionStream(primFor(*payload));
  RawWebSocket raw(server.wsBaseUrl() + streamPath(primFor(*payload)), kTimeoutMs);
  runSideBySide(state, batchSize(batch),
                {receiveSide(stream, payload->size()),
                 {"raw",
                  [&] {
                    const std::string frame = raw.receiveFrame();
                    check(frame.size() == payload->size(), "curl_ws_recv frame size");
                  },
                  {},
                  [&](int count) { raw.send(std::to_string(count)); }}});
}

void sendFrames(benchmark::State& state, const std::string* payload, int batch) {
  testing::TestBridge server(routes());
  IsaacSimClient client("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(kTimeoutMs), 0);
  WebSocketStream stream = client.openJointPositionStream(kSinkPrim);
  RawWebSocket raw(server.wsBaseUrl() + streamPath(kSinkPrim), kTimeoutMs);
  runSideBySide(state, batchSize(batch),
                {{"lib", [&] { stream.send(*payload); }}, {"raw", [&] { raw.send(*payload); }}});
}

// Short batches and many rounds: the two loops take turns every few milliseconds.
void add(const char* name, void (*bench)(benchmark::State&, const std::string*, int), const std::string* payload,
         int batch) {
  benchmark::RegisterBenchmark(name, bench, payload, batch)
      ->Iterations(rounds(100))
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace

void registerBenchmarks() {
  add("ws/receive_vs_curl_ws_recv/100B", receiveFrames, &kSmallFrame, 1000);
  add("ws/receive_vs_curl_ws_recv/1MiB", receiveFrames, &kLargeFrame, 4);
  add("ws/send_vs_curl_ws_send/100B", sendFrames, &kSmallFrame, 200);
  add("ws/send_vs_curl_ws_send/1MiB", sendFrames, &kLargeFrame, 1);
}

}  // namespace corvane::bench
