#pragma once

#include <cstdlib>
#include <cstring>

namespace corvane::testing {

/// Whether this process runs under valgrind (its preloads are in the environment): tests whose point is
/// timing between threads skip there, where every thread runs tens of times slower.
inline bool underValgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

}  // namespace corvane::testing
