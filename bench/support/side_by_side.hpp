#pragma once

// Side-by-side timing: the loops being compared take turns inside one benchmark, so the load of a shared,
// noisy machine falls on all of them alike, and the figure that matters is their ratio.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace corvane::bench {

/// One loop being compared: `call` performs one operation (one request, one decode, one frame...).
/// A loop that runs elsewhere (another process) gives `timedBatch` instead: it runs n operations and
/// returns the time per operation in nanoseconds, measured where they ran.
struct Side {
  std::string key;  ///< short name used in the counters, e.g. "lib", "raw"
  std::function<void()> call;
  std::function<double(int)> timedBatch = {};
  /// Called with the batch size before each timed batch, outside the timing (e.g. to ask for frames).
  std::function<void(int)> prepare = {};
};

/// Runs state.iterations() rounds. Each round times `batch` calls of every side, one side after the other,
/// rotating which side goes first. Before the first round every side runs one untimed batch (warm-up).
/// Counters reported: "<key>_ns" = median over rounds of the time per call of each side, and for every side
/// after the first "ratio_<key>" = median over rounds of (first side's time / that side's time), and with three
/// sides or more "ratio_<a>_vs_<b>" = the same of a's time / b's time for every other side a and any side b.
/// The iteration time Google Benchmark shows is the first side's.
void runSideBySide(benchmark::State& state, int batch, const std::vector<Side>& sides);

/// Median of `values` (which it reorders); 0 for an empty list.
double median(std::vector<double>& values);

/// Stops the run when a measured operation gave a wrong result: a benchmark of a broken path means nothing.
void check(bool ok, const std::string& what);

/// Set by main from the --smoke flag.
void setSmokeRun(bool smoke);
/// Marks the run as skipped (a comparison tool is missing): main then exits with 77 after the run.
void markSkipped(benchmark::State& state, const std::string& why);
bool skipped();

/// True under --smoke: every benchmark runs a token number of rounds, to show it still works.
bool smokeRun();

/// Rounds for a measured benchmark, or 2 under --smoke.
int rounds(int measured);
/// Calls per round, or 2 under --smoke.
int batchSize(int measured);

/// Defined by each benchmark binary: registers its benchmarks (called after the flags are read).
void registerBenchmarks();

}  // namespace corvane::bench
