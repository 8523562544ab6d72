#include "side_by_side.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace corvane::bench {
namespace {

bool gSmoke = false;

bool gSkipped = false;

double timeBatch(const Side& side, int batch) {
  if (side.prepare) side.prepare(batch);
  if (side.timedBatch) return side.timedBatch(batch);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < batch; ++i) side.call();
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / batch;
}

}  // namespace

void setSmokeRun(bool smoke) { gSmoke = smoke; }
bool smokeRun() { return gSmoke; }
bool skipped() { return gSkipped; }

void markSkipped(benchmark::State& state, const std::string& why) {
  gSkipped = true;
  std::fprintf(stderr, "skipped: %s\n", why.c_str());
  state.SkipWithError(why.c_str());
}
int rounds(int measured) { return gSmoke ? 2 : measured; }
int batchSize(int measured) { return gSmoke ? 2 : measured; }

double median(std::vector<double>& values) {
  if (values.empty()) return 0.0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  if (values.size() % 2 == 1) return *middle;
  const double upper = *middle;
  return (upper + *std::max_element(values.begin(), middle)) / 2.0;
}

void check(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "benchmark check failed: %s\n", what.c_str());
  std::exit(1);
}

void runSideBySide(benchmark::State& state, int batch, const std::vector<Side>& sides) {
  for (const Side& side : sides) timeBatch(side, batch);
  std::vector<std::vector<double>> perCall(sides.size());
  std::size_t round = 0;
  for (auto _ : state) {
    std::vector<double> times(sides.size());
    for (std::size_t k = 0; k < sides.size(); ++k) {
      const std::size_t i = (round + k) % sides.size();
      times[i] = timeBatch(sides[i], batch);
    }
    for (std::size_t i = 0; i < sides.size(); ++i) perCall[i].push_back(times[i]);
    state.SetIterationTime(times[0] * 1e-9);
    ++round;
  }
  const auto medianRatio = [&perCall](std::size_t a, std::size_t b) {
    std::vector<double> ratios;
    for (std::size_t r = 0; r < perCall[a].size(); ++r) ratios.push_back(perCall[a][r] / perCall[b][r]);
    return median(ratios);
  };
  for (std::size_t i = 1; i < sides.size(); ++i) {
    state.counters["ratio_" + sides[i].key] = medianRatio(0, i);
    for (std::size_t j = 0; j < sides.size() && sides.size() > 2; ++j) {
      if (j != i) state.counters["ratio_" + sides[i].key + "_vs_" + sides[j].key] = medianRatio(i, j);
    }
  }
  for (std::size_t i = 0; i < sides.size(); ++i) state.counters[sides[i].key + "_ns"] = median(perCall[i]);
}

}  // namespace corvane::bench
