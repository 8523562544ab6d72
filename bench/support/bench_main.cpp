// Shared main of the benchmark binaries: Google Benchmark's flags plus --smoke (a token run that only
// shows every benchmark still works; ctest runs each binary that way). Exit status 77: a benchmark was
// skipped because a tool it compares against is missing.
#include <cstring>

#include <benchmark/benchmark.h>

#include "side_by_side.hpp"

int main(int argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      corvane::bench::setSmokeRun(true);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  corvane::bench::registerBenchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return corvane::bench::skipped() ? 77 : 0;
}
