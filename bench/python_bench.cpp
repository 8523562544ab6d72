// Against what a user would pick instead: the same loops written in Python (requests, websockets), run as a
// child process that takes turns with the client on the same in-process server. The python/corvane_* rows
// put the client's Python package (another child) against them, and a capture decoded into numpy arrays
// against requests.post plus a pure-Python decode with numpy.frombuffer.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <corvane/corvane.hpp>

#include "child_process.hpp"
#include "support/capture_frame.hpp"
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
Side pythonSide(testing::ChildProcess& child, std::string key = "python") {
  return {std::move(key), {}, [&child](int count) {
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

#ifdef CORVANE_BENCH_PACKAGE_DIR
const std::string kCapturePrim = "/World/bench_camera";

using Arguments = std::function<std::vector<std::string>(const testing::TestBridge&)>;

// The client's Python package (python/corvane_loop.py with `package` arguments) against a Python baseline
// script (with `baseline` arguments), both children of this process, on the same server.
void packageVsPython(benchmark::State& state, const testing::CannedRoutes& routes, const Arguments& package,
                     const std::string& baselineScript, const Arguments& baseline, int batch) {
  testing::TestBridge server(routes);
  std::vector<std::string> packageArgs = {pythonInterpreter(), script("corvane_loop.py"), CORVANE_BENCH_PACKAGE_DIR};
  std::vector<std::string> baselineArgs = {pythonInterpreter(), script(baselineScript.c_str())};
  for (std::string& arg : package(server)) packageArgs.push_back(std::move(arg));
  for (std::string& arg : baseline(server)) baselineArgs.push_back(std::move(arg));
  testing::ChildProcess corvane(packageArgs);
  if (corvane.readLine() != "ready") return markSkipped(state, "the corvane Python package is not built");
  testing::ChildProcess python(baselineArgs);
  if (python.readLine() != "ready") return markSkipped(state, "python3 with the baseline's modules is not available");
  runSideBySide(state, batchSize(batch), {pythonSide(corvane, "corvane"), pythonSide(python)});
}

void corvaneGet(benchmark::State& state) {
  packageVsPython(
      state, routes(),
      [](const testing::TestBridge& server) {
        return std::vector<std::string>{"get", server.baseUrl(), kGetTarget, kGetReply};
      },
      "requests_loop.py",
      [](const testing::TestBridge& server) {
        return std::vector<std::string>{server.baseUrl() + kGetTarget.substr(1), kGetReply};
      },
      100);
}

void corvaneReceive(benchmark::State& state) {
  const std::string size = std::to_string(kSmallFrame.size());
  packageVsPython(
      state, routes(),
      [&](const testing::TestBridge& server) {
        return std::vector<std::string>{"receive", server.baseUrl(), kSmallPrim, size};
      },
      "websockets_loop.py",
      [&](const testing::TestBridge& server) {
        return std::vector<std::string>{server.wsBaseUrl() + streamPath(kSmallPrim), size};
      },
      1000);
}

void corvaneCapture(benchmark::State& state) {
  const std::string prim = "/World/bench_camera";
  const std::string target = "/cameras/" + prim + "/capture";
  testing::CannedRoutes capture;
  capture.http[target] = captureFrame(1920, 1080);
  packageVsPython(
      state, capture,
      [&](const testing::TestBridge& server) {
        return std::vector<std::string>{"capture", server.baseUrl(), prim};
      },
      "requests_capture_loop.py",
      [&](const testing::TestBridge& server) { return std::vector<std::string>{server.baseUrl() + target.substr(1)}; },
      5);
}

// 100 concurrent awaited GETs through corvane.aio against the same 100 in one client.batch, and against
// aiohttp's 100 concurrent GETs; every side keeps its connections.
Arguments corvaneArguments(const char* mode, bool withPackage) {
  return [mode, withPackage](const testing::TestBridge& server) {
    std::vector<std::string> arguments{mode, server.baseUrl(), kGetTarget, kGetReply};
    if (withPackage) arguments.insert(arguments.begin(), CORVANE_BENCH_PACKAGE_DIR);
    return arguments;
  };
}

void aioVsBatch(benchmark::State& state) {
  packageVsPython(state, routes(), corvaneArguments("aio", false), "corvane_loop.py", corvaneArguments("batch", true),
                  5);
}

void aioVsAiohttp(benchmark::State& state) {
  packageVsPython(
      state, routes(), corvaneArguments("aio", false), "aiohttp_loop.py",
      [](const testing::TestBridge& server) {
        return std::vector<std::string>{server.baseUrl() + kGetTarget.substr(1), kGetReply};
      },
      5);
}
#endif

void measured(benchmark::internal::Benchmark* benchmark) {
  benchmark->Iterations(rounds(30))->UseManualTime()->Unit(benchmark::kMicrosecond);
}

}  // namespace

void registerBenchmarks() {
  measured(benchmark::RegisterBenchmark("python/client_get_vs_requests_get", requestsGet));
  measured(
      benchmark::RegisterBenchmark("python/receive_vs_websockets_recv/100B", websocketsReceive, &kSmallFrame, 1000));
  measured(benchmark::RegisterBenchmark("python/receive_vs_websockets_recv/1MiB", websocketsReceive, &kLargeFrame, 10));
#ifdef CORVANE_BENCH_PACKAGE_DIR
  measured(benchmark::RegisterBenchmark("python/corvane_get_vs_requests_get", corvaneGet));
  measured(benchmark::RegisterBenchmark("python/corvane_receive_vs_websockets_recv/100B", corvaneReceive));
  measured(benchmark::RegisterBenchmark("python/corvane_aio_gather_vs_batch/100", aioVsBatch));
  measured(benchmark::RegisterBenchmark("python/corvane_aio_gather_vs_aiohttp/100", aioVsAiohttp));
  benchmark::RegisterBenchmark("python/corvane_capture_vs_requests_numpy/1920x1080", corvaneCapture)
      ->Iterations(rounds(15))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
#endif
}

}  // namespace corvane::bench
