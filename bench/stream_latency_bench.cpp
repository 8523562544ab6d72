// Joint stream latency from the simulated bridge (in this process) at 1 kHz: the age of each sample (the
// bridge's "sent_ns" wall-clock stamp) when the client has it. Each pair of loops takes turns on two
// streams of the same arm, each draining its stream before its turn:
//  - receiveFor() waiting on the socket against a receive() spin (the lowest latency there is, at a whole
//    core): median and 99th percentile;
//  - a 1 kHz control loop taking receiveLatest() each tick against the same loop taking receive() once a
//    tick (it works through a backlog whenever it falls behind);
//  - the CPU the receiveFor() loop uses (thread CPU time over wall time) against the spin.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <corvane/corvane.hpp>

#include "sim_bridge.hpp"
#include "support/side_by_side.hpp"

namespace corvane::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kArm = "/World/arm";

// The sample's age now, in nanoseconds, from its "sent_ns" member.
double ageOf(const std::string& sample, std::chrono::system_clock::time_point now) {
  const auto at = sample.find("\"sent_ns\":");
  check(at != std::string::npos, "a sample with sent_ns");
  const long long sent = std::stoll(sample.substr(at + 10));
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() -
                             sent);
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One loop being compared: takes `samples` samples from its stream, appending their ages.
struct Loop {
  const char* key;
  WebSocketStream* stream;
  void (*collect)(WebSocketStream& stream, int samples, std::vector<double>& ages);
};

void receiveForLoop(WebSocketStream& stream, int samples, std::vector<double>& ages) {
  while (samples > 0) {
    const std::optional<std::string> sample = stream.receiveFor(1s);
    if (!sample) continue;
    ages.push_back(ageOf(*sample, std::chrono::system_clock::now()));
    --samples;
  }
}

void spinLoop(WebSocketStream& stream, int samples, std::vector<double>& ages) {
  while (samples > 0) {
    const std::optional<std::string> sample = stream.receive();
    if (!sample) continue;
    ages.push_back(ageOf(*sample, std::chrono::system_clock::now()));
    --samples;
  }
}

// A control loop ticking at 1 kHz that reads what it is given at each tick.
template <bool kLatest>
void tickLoop(WebSocketStream& stream, int ticks, std::vector<double>& ages) {
  auto next = Clock::now();
  for (int i = 0; i < ticks; ++i) {
    next += 1ms;
    std::this_thread::sleep_until(next);
    const std::optional<std::string> sample = kLatest ? stream.receiveLatest() : stream.receive();
    if (sample) ages.push_back(ageOf(*sample, std::chrono::system_clock::now()));
  }
}

struct Measured {
  std::vector<double> all;
  std::vector<double> roundMedians;
  double cpuSeconds = 0;
  double wallSeconds = 0;
};

// Rounds in which the loops take turns (rotating who goes first), each draining its stream first.
std::vector<Measured> takeTurns(benchmark::State& state, const std::vector<Loop>& loops, int perRound) {
  std::vector<Measured> measured(loops.size());
  std::size_t round = 0;
  for (auto _ : state) {
    for (std::size_t k = 0; k < loops.size(); ++k) {
      const std::size_t i = (round + k) % loops.size();
      while (loops[i].stream->receiveLatest()) {
      }
      std::vector<double> ages;
      const double cpu = threadCpuSeconds();
      const auto start = Clock::now();
      loops[i].collect(*loops[i].stream, perRound, ages);
      measured[i].wallSeconds += std::chrono::duration<double>(Clock::now() - start).count();
      measured[i].cpuSeconds += threadCpuSeconds() - cpu;
      check(!ages.empty(), std::string(loops[i].key) + ": no sample in a round");
      std::vector<double> copy = ages;
      measured[i].roundMedians.push_back(median(copy));
      measured[i].all.insert(measured[i].all.end(), ages.begin(), ages.end());
    }
    ++round;
  }
  return measured;
}

// Counters: "<key>_ns" (median age), "<key>p99_ns", "<key>_pct" (CPU, % of a core), and for the second
// loop the ratios "ratio_<key>" (median of per-round medians), "ratio_<key>p99", "ratio_<key>_pct".
void report(benchmark::State& state, const std::vector<Loop>& loops, std::vector<Measured>& measured) {
  for (std::size_t i = 0; i < loops.size(); ++i) {
    const std::string key = loops[i].key;
    std::vector<double> all = measured[i].all;
    state.counters[key + "_ns"] = median(all);
    state.counters[key + "p99_ns"] = percentile(measured[i].all, 0.99);
    state.counters[key + "_pct"] = 100.0 * measured[i].cpuSeconds / measured[i].wallSeconds;
  }
  const std::string base = loops[1].key;
  std::vector<double> ratios;
  for (std::size_t r = 0; r < measured[0].roundMedians.size(); ++r)
    ratios.push_back(measured[0].roundMedians[r] / measured[1].roundMedians[r]);
  state.counters["ratio_" + base] = median(ratios);
  state.counters["ratio_" + base + "p99"] =
      state.counters[std::string(loops[0].key) + "p99_ns"] / state.counters[base + "p99_ns"];
  state.counters["ratio_" + base + "_pct"] =
      state.counters[std::string(loops[0].key) + "_pct"] / state.counters[base + "_pct"];
}

void compare(benchmark::State& state, std::vector<Loop> (*loopsOf)(WebSocketStream&, WebSocketStream&), int perRound) {
  bridge_sim::ServerOptions options;
  options.streamRate = 1000.0;
  testing::SimBridge bridge(options);
  Articulation& arms = bridge.client().articulation;
  arms.create(kArm);
  WebSocketStream first = arms.streamJointPositions(kArm);
  WebSocketStream second = arms.streamJointPositions(kArm);
  const std::vector<Loop> loops = loopsOf(first, second);
  std::vector<Measured> measured = takeTurns(state, loops, smokeRun() ? 5 : perRound);
  report(state, loops, measured);
}

std::vector<Loop> waitingAgainstSpin(WebSocketStream& first, WebSocketStream& second) {
  return {{"lib", &first, receiveForLoop}, {"spin", &second, spinLoop}};
}

std::vector<Loop> latestAgainstOldest(WebSocketStream& first, WebSocketStream& second) {
  return {{"lib", &first, tickLoop<true>}, {"oldest", &second, tickLoop<false>}};
}

}  // namespace

void registerBenchmarks() {
  benchmark::RegisterBenchmark("stream_latency/receiveFor_vs_receive_spin/1000Hz", compare, waitingAgainstSpin, 250)
      ->Iterations(rounds(20))
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("stream_latency/receiveLatest_vs_receive_per_tick/1000Hz", compare, latestAgainstOldest,
                               300)
      ->Iterations(rounds(20))
      ->Unit(benchmark::kMillisecond);
}

}  // namespace corvane::bench
