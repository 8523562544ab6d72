// REST round trips on loopback: the client's verbs against plain libcurl loops on the same server.
#include <chrono>
#include <string>

#include <corvane/corvane.hpp>

#include "support/raw_curl.hpp"
#include "support/side_by_side.hpp"
#include "support/workloads.hpp"
#include "test_bridge.hpp"

namespace corvane::bench {
namespace {

bool isExpected(long status, const std::string& body) { return status == 200 && body == kGetReply; }

// client.get against a raw fresh-handle loop with the same options (the limit of a design that opens a
// connection per request), and a raw loop that keeps one handle (what connection reuse would buy).
void restGet(benchmark::State& state) {
  testing::TestBridge server({{{kGetTarget, kGetReply}}, {}, {}});
  IsaacSimClient client("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(kTimeoutMs), 0);
  const std::string url = server.baseUrl() + kGetTarget.substr(1);
  ReusedHandle reused(url, kTimeoutMs);
  runSideBySide(state, batchSize(100),
                {{"lib",
                  [&] {
                    const HttpResponse r = client.get(kGetTarget);
                    check(isExpected(r.status, r.body), "client.get reply");
                  }},
                 {"raw",
                  [&] {
                    const RawReply r = rawRequest(url, kTimeoutMs);
                    check(isExpected(r.status, r.body), "raw fresh-handle reply");
                  }},
                 {"reused", [&] {
                    const RawReply& r = reused.get();
                    check(isExpected(r.status, r.body), "raw reused-handle reply");
                  }}});
}

}  // namespace

void registerBenchmarks() {
  benchmark::RegisterBenchmark("rest_get/client_vs_raw_fresh_vs_reused", restGet)
      ->Iterations(rounds(30))
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace corvane::bench
