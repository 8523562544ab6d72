#pragma once

// Seed frames for fuzzing the frame decoder: well-formed frames and near misses, each a small edit of a
// valid frame that a decoder must reject. Built with the frame writer, never downloaded.
#include <string>
#include <vector>

namespace frame_seeds {

struct Seed {
  std::string name;   ///< file name in a corpus folder
  std::string bytes;  ///< the whole response body
  bool valid;         ///< whether a correct decoder accepts it
};

std::vector<Seed> seedFrames();

}  // namespace frame_seeds
