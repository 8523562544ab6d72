#pragma once

#include <chrono>

namespace corvane::detail {

/// The pause of a client without a retry policy after failed attempt `attempt` (0 for the first): 500 ms
/// doubling per attempt, capped at 8000 ms, times a jitter factor in [0.75, 1.0] taken from `randomValue` (a
/// value of rand(), read as a fraction of 2^31 - 1).
std::chrono::milliseconds retryPause(int attempt, int randomValue);

/// Sleeps for `pause` with nanosleep, resuming after signals; returns early (false) only on other failures.
bool sleepFor(std::chrono::nanoseconds pause);

}  // namespace corvane::detail
