// Retry policies: the pauses they give, what they retry, how the client checks them, and the jitter's engine.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "client/retry_rules.hpp"
#include "client/time_limit.hpp"

namespace corvane {
namespace {

bool isVerb(std::string_view method) {
  return method == "GET" || method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

// `value` clamped to [0, 1], NaN as 0.
double inUnitInterval(double value) { return value >= 0.0 ? std::min(value, 1.0) : 0.0; }

}  // namespace

std::chrono::milliseconds RetryPolicy::pauseAfter(int attempt, double unit) const noexcept {
  // A policy no client checked still gives a pause: negative and NaN parts count as 0. Doubling in floating
  // point cannot overflow; capped at a century too, so that the pause adds to a time point.
  const double largest = std::max(0.0, static_cast<double>(std::min(largestPause, detail::kLongest).count()));
  double nominal = std::min(std::max(0.0, static_cast<double>(firstPause.count())), largest);
  for (int i = 0; i < attempt && nominal > 0.0 && nominal < largest; ++i) nominal *= 2;
  nominal = std::min(nominal, largest);
  const double share = inUnitInterval(jitter);
  return std::chrono::milliseconds(static_cast<long long>(nominal * ((1.0 - share) + share * inUnitInterval(unit))));
}

bool RetryPolicy::retriesStatus(long status) const noexcept {
  if (serverErrors && status >= 500 && status != 501) return true;
  return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

bool RetryPolicy::resendsAfterTransportError(std::string_view method) const noexcept {
  return std::find(transportErrorMethods.begin(), transportErrorMethods.end(), method) != transportErrorMethods.end();
}

namespace detail {

const RetryPolicy& defaultRetryPolicy() {
  static const RetryPolicy policy;
  return policy;
}

void checkRetryPolicy(const RetryPolicy& policy) {
  for (const long status : policy.statuses) {
    if (status < 100 || status > 999)
      throw std::invalid_argument("retryPolicy: status " + std::to_string(status) + " is not an HTTP status");
  }
  for (const std::string& method : policy.transportErrorMethods) {
    if (!isVerb(method)) throw std::invalid_argument("retryPolicy: unsupported HTTP method: " + method);
  }
  if (policy.firstPause.count() <= 0) throw std::invalid_argument("retryPolicy: the first pause must be positive");
  if (policy.largestPause < policy.firstPause)
    throw std::invalid_argument("retryPolicy: the largest pause must not be shorter than the first");
  if (!(policy.jitter >= 0.0 && policy.jitter <= 1.0))
    throw std::invalid_argument("retryPolicy: the jitter must lie in [0, 1]");
}

std::uint64_t jitterSeed(const void* owner) noexcept {
  const auto now = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
  return now ^ static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(owner));
}

double RetryJitter::unit() noexcept {
  constexpr std::uint64_t kGamma = 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state_.fetch_add(kGamma, std::memory_order_relaxed) + kGamma;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;  // the top 53 bits: exact in a double, below 1
}

}  // namespace detail
}  // namespace corvane
