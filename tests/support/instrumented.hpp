#pragma once

#include <cstdlib>
#include <cstring>

namespace corvane::testing {

/// Whether this process runs under valgrind (its preloads are in the environment).
inline bool underValgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

/// Whether this process runs instrumented: under valgrind (its preloads are in the environment) or built with
/// AddressSanitizer or ThreadSanitizer. Tests whose point is timing between threads (a publisher outrunning a
/// viewer within a stall timeout) skip there, where every thread runs several to tens of times slower.
inline bool instrumented() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#endif
#endif
  return underValgrind();
}

}  // namespace corvane::testing
