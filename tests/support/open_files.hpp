#pragma once

// Counting the process's open file descriptors, to show that no connection outlives the call that made it.
#include <cstddef>
#include <filesystem>

namespace corvane::testing {

/// The number of file descriptors open in this process right now.
inline std::size_t openFileCount() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

}  // namespace corvane::testing
