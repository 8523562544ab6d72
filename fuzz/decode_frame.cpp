// libFuzzer target: any body, as a 200 reply to a capture, through the frame decoder. It must reject the
// body with a documented exception or return outputs that are faithful copies of bytes inside the body;
// the sanitizers catch any read outside it on the way. The fast manifest reader must also either give up
// or end exactly as the general decoder does, and the shared road (views of the reply) exactly as the
// owning one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fast_path_check.hpp"
#include "frame_check.hpp"
#include "shared_road_check.hpp"

// Keeps what the read-back computed observable, so the optimiser cannot drop the reads.
volatile double decodeFrameFuzzSink = 0;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  std::string problem;
  double seen = 0;
  frame_check::decodeChecked(body, problem, &seen);
  if (!problem.empty()) {
    std::fprintf(stderr, "decoded frame breaks the rules: %s\n", problem.c_str());
    std::abort();
  }
  fast_path_check::compareDecoders(body, problem);
  if (!problem.empty()) {
    std::fprintf(stderr, "the fast manifest reader differs from the general decoder: %s\n", problem.c_str());
    std::abort();
  }
  shared_road_check::compareRoads(body, problem);
  if (!problem.empty()) {
    std::fprintf(stderr, "the shared road differs from the owning decoder: %s\n", problem.c_str());
    std::abort();
  }
  decodeFrameFuzzSink = seen;
  return 0;
}

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

// libFuzzer's own mutations, then, half of the time, a manifest length that ends the manifest just after
// one of the body's '}' bytes: insertions and deletions inside the manifest would otherwise almost always
// leave a length that no longer fits, and the fuzzer would rarely get past the header.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  std::minstd_rand random(seed);
  if (size < 8 || std::memcmp(data, "CVB1", 4) != 0 || random() % 2 == 0) return size;
  std::vector<std::size_t> ends;
  for (std::size_t i = 8; i < size; ++i) {
    if (data[i] == '}') ends.push_back(i + 1);
  }
  if (ends.empty()) return size;
  const auto length = static_cast<std::uint32_t>(ends[random() % ends.size()] - 8);
  for (int i = 0; i < 4; ++i) data[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  return size;
}
