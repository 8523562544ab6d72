#pragma once
// What a call throws, as text, so a test can compare the exact message in one line.

#include <functional>
#include <stdexcept>
#include <string>

namespace corvane::testing {

// The message of the `Error` the call throws; "(no exception)" if it returns. Any other exception escapes,
// so a wrong exception type fails the test on its own.
template <class Error = std::exception>
std::string errorTextOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no exception)";
}

inline std::string messageOf(const std::function<void()>& call) { return errorTextOf(call); }
inline std::string runtimeErrorOf(const std::function<void()>& call) { return errorTextOf<std::runtime_error>(call); }

}  // namespace corvane::testing
