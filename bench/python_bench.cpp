// Against what a user would pick instead: the same loops written in Python, run as a child process that
// takes turns with the client on the same in-process server.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <corvane/corvane.hpp>

#include "support/loopback_server.hpp"
#include "support/side_by_side.hpp"
#include "support/subprocess.hpp"

namespace corvane::bench {
namespace {

const std::string kTarget = "/articulations//World/arm/driver_joint";
const std::string kReply = R"({"driver_joint":"/World/arm/joint_1","prim_path":"/World/arm"})";

// Debian's interpreter, where python3-requests and python3-websockets install; CORVANE_BENCH_PYTHON
// overrides it.
std::string pythonInterpreter() {
  if (const char* chosen = std::getenv("CORVANE_BENCH_PYTHON")) return chosen;
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::string script(const char* name) { return std::string(CORVANE_BENCH_PYTHON_DIR) + "/" + name; }

// A Python loop as a side: each batch is one request line, answered with its time per operation.
Side pythonSide(LineChild& child) {
  return {"python", {}, [&child](int count) {
            const auto reply = child.ask(std::to_string(count));
            check(reply.has_value(), "the Python loop ended early");
            char* end = nullptr;
            const double perOperation = std::strtod(reply->c_str(), &end);
            check(end != reply->c_str() && perOperation > 0, "the Python loop answered: " + *reply);
            return perOperation;
          }};
}

void requestsGet(benchmark::State& state) {
  LoopbackServer server({{{kTarget, kReply}}, {}});
  IsaacSimClient client("bench", server.httpBaseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(5000), 0);
  LineChild python({pythonInterpreter(), script("requests_loop.py"), server.httpBaseUrl() + kTarget.substr(1), kReply});
  if (python.readLine() != "ready") return markSkipped(state, "python3 with the requests module is not available");
  runSideBySide(state, batchSize(100),
                {{"lib",
                  [&] {
                    const HttpResponse r = client.get(kTarget);
                    check(r.status == 200 && r.body == kReply, "client.get reply");
                  }},
                 pythonSide(python)});
}

}  // namespace

void registerBenchmarks() {
  benchmark::RegisterBenchmark("python/client_get_vs_requests_get", requestsGet)
      ->Iterations(rounds(15))
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace corvane::bench
