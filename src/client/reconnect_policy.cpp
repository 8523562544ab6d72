// The reconnecting stream's backoff: doubling pauses between a first and a largest, with jitter.
#include <algorithm>
#include <stdexcept>

#include "client/time_limit.hpp"
#include "corvane/reconnecting_stream.hpp"

namespace corvane {

ReconnectPolicy::ReconnectPolicy(std::chrono::milliseconds firstPause, std::chrono::milliseconds largestPause,
                                 int maxAttempts)
    : firstPause_(firstPause), largestPause_(largestPause), maxAttempts_(maxAttempts) {
  if (firstPause.count() <= 0) throw std::invalid_argument("ReconnectPolicy: the first pause must be positive");
  if (largestPause < firstPause)
    throw std::invalid_argument("ReconnectPolicy: the largest pause must not be shorter than the first");
  if (maxAttempts < 0) throw std::invalid_argument("ReconnectPolicy: the attempt limit must not be negative");
}

std::chrono::milliseconds ReconnectPolicy::pauseBefore(int attempt, double unit) const noexcept {
  // Doubling in floating point cannot overflow; the cap applies before the jitter.
  double nominal = static_cast<double>(firstPause_.count());
  // Also capped at a century, so that the pause converts back to an integer and adds to a time point.
  const double largest = static_cast<double>(std::min(largestPause_, detail::kLongest).count());
  for (int i = 1; i < attempt && nominal < largest; ++i) nominal *= 2;
  nominal = std::min(nominal, largest);
  const double scale = 0.5 + 0.5 * std::clamp(unit, 0.0, 1.0);
  // Half of a 1 ms pause would round to none: a refusing bridge would then be asked again at once.
  return std::chrono::milliseconds(std::max(1LL, static_cast<long long>(nominal * scale)));
}

std::chrono::milliseconds ReconnectPolicy::stableAfter() const noexcept {
  return std::max<std::chrono::milliseconds>(largestPause_, std::chrono::seconds(1));
}

bool ReconnectPolicy::allows(int attempt) const noexcept {
  return attempt >= 1 && (maxAttempts_ == kUnlimited || attempt <= maxAttempts_);
}

}  // namespace corvane
