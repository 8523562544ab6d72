// Against what a user would pick instead: the same loops written in Python (requests, websockets), run as a
// child process that takes turns with the client on the same in-process server.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include <corvane/corvane.hpp>

#include "child_process.hpp"
#include "support/receive_side.hpp"
#include "support/side_by_side.hpp"
#include "support/workloads.hpp"
#include "test_bridge.hpp"

namespace corvane::bench {
namespace {

// Debian's interpreter, where python3-requests and python3-websockets install; CORVANE_BENCH_PYTHON
// overrides it.
std::string pythonInterpreter() {
  if (const char* chosen = std::getenv("CORVANE_BENCH_PYTHON")) return chosen;
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::string script(const char* name) { return std::string(CORVANE_BENCH_PYTHON_DIR) + "/" + name; }

// A Python loop as a side: each batch is one request line, answered with its time per operation.
Side pythonSide(testing::ChildProcess& child) {
  return {"python", {}, [&child](int count) {
            const auto reply = child.ask(std::to_string(count));
            check(reply.has_value(), "the Python loop ended early");
            char* end = nullptr;
            const double perOperation = std::strtod(reply->c_str(), &end);
            check(end != reply->c_str() && perOperation > 0, "the Python loop answered: " + *reply);
            return perOperation;
          }};
}

testing::CannedRoutes routes() {
  testing::CannedRoutes routes;
  routes.http[kGetTarget] = kGetReply;
  routes.push["/" + streamPath(kSmallPrim)] = kSmallFrame;
  routes.push["/" + streamPath(kLargePrim)] = kLargeFrame;
  return routes;
}

IsaacSimClient makeClient(const testing::TestBridge& server) {
  return IsaacSimClient("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(kTimeoutMs), 0);
}

void requestsGet(benchmark::State& state) {
  testing::TestBridge server(routes());
  IsaacSimClient client = makeClient(server);
  testing::ChildProcess python(
      {pythonInterpreter(), script("requests_loop.py"), server.baseUrl() + kGetTarget.substr(1), kGetReply});
  if (python.readLine() != "ready") return markSkipped(state, "python3 with the requests module is not available");
  runSideBySide(state, batchSize(100),
                {{"lib",
                  [&] {
                    const HttpResponse r = client.get(kGetTarget);
                    check(r.status == 200 && r.body == kGetReply, "client.get reply");
                  }},
                 pythonSide(python)});
}

void websocketsReceive(benchmark::State& state, const std::string* payload, int batch) {
  testing::TestBridge server(routes());
  IsaacSimClient client = makeClient(server);
  WebSocketStream stream = client.openJointPositionStream(primFor(*payload));
  testing::ChildProcess python({pythonInterpreter(), script("websockets_loop.py"),
                                server.wsBaseUrl() + streamPath(primFor(*payload)), std::to_string(payload->size())});
  if (python.readLine() != "ready") return markSkipped(state, "python3 with the websockets module is not available");
  runSideBySide(state, batchSize(batch), {receiveSide(stream, payload->size()), pythonSide(python)});
}

void measured(benchmark::internal::Benchmark* benchmark) {
  benchmark->Iterations(rounds(30))->UseManualTime()->Unit(benchmark::kMicrosecond);
}

}  // namespace

void registerBenchmarks() {
  measured(benchmark::RegisterBenchmark("python/client_get_vs_requests_get", requestsGet));
  measured(
      benchmark::RegisterBenchmark("python/receive_vs_websockets_recv/100B", websocketsReceive, &kSmallFrame, 1000));
  measured(benchmark::RegisterBenchmark("python/receive_vs_websockets_recv/1MiB", websocketsReceive, &kLargeFrame, 10));
}

}  // namespace corvane::bench
