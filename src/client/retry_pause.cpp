#include "client/retry_pause.hpp"

#include <cerrno>
#include <ctime>

namespace corvane::detail {

std::chrono::milliseconds retryPause(int attempt, int randomValue) {
  constexpr int kLastDoubling = 4;  // 500 * 2^4 = 8000, the cap
  const double base = attempt >= kLastDoubling ? 8000.0 : 500.0 * static_cast<double>(1 << attempt);
  const double jitter = 0.75 + 0.25 * (randomValue / 2147483647.0);
  return std::chrono::milliseconds(static_cast<long long>(base * jitter));
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
