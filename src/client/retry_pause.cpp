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

void sleepFor(std::chrono::milliseconds pause) {
  const long long ms = pause.count();
  if (ms <= 0) return;
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(ms / 1000);
  remaining.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace corvane::detail
