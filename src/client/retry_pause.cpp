#include "client/retry_pause.hpp"

#include <cerrno>
#include <ctime>

#include "client/retry_rules.hpp"

namespace corvane::detail {

std::chrono::milliseconds retryPause(int attempt, int randomValue) {
  return defaultRetryPolicy().pauseAfter(attempt, randomValue / 2147483647.0);
}

bool sleepFor(std::chrono::nanoseconds pause) {
  const long long ns = pause.count();
  if (ns <= 0) return true;
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(ns / 1000000000);
  remaining.tv_nsec = static_cast<long>(ns % 1000000000);
  for (;;) {
    if (nanosleep(&remaining, &remaining) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace corvane::detail
