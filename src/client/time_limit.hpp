#pragma once

// Turning a caller's duration into a point on the steady clock without overflow.
#include <algorithm>
#include <chrono>

namespace corvane::detail {

using Clock = std::chrono::steady_clock;

/// The longest wait the library measures: "wait forever" (milliseconds::max()) would overflow the clock's
/// nanoseconds, so every duration is capped here (a century).
inline constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);

/// The point `timeout` after `from`; negative timeouts (milliseconds::min() included) mean `from`.
inline Clock::time_point pointAfter(std::chrono::milliseconds timeout, Clock::time_point from = Clock::now()) {
  return from + std::clamp(timeout, std::chrono::milliseconds::zero(), kLongest);
}

}  // namespace corvane::detail
