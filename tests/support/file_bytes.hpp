#pragma once

// A whole file's bytes, for tests that compare what was written or replay a corpus.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace corvane::testing {

/// The bytes of the file at `path` (empty when it cannot be read).
inline std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace corvane::testing
