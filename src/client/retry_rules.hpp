#pragma once

// What the request engine needs of retry policies beyond the public type: the rules of a client without one,
// the checks at construction, and the per-client random engine of the pauses' jitter.
#include <atomic>
#include <cstdint>

#include "corvane/retry_policy.hpp"

namespace corvane::detail {

/// RetryPolicy's defaults: the rules of a client built without a policy.
const RetryPolicy& defaultRetryPolicy();

/// Throws std::invalid_argument for a policy no client may be built with (see ClientOptions::retryPolicy).
void checkRetryPolicy(const RetryPolicy& policy);

/// A seed that differs between owners and runs: the steady clock mixed with the owner's address.
std::uint64_t jitterSeed(const void* owner) noexcept;

/// The jitter of one client's pauses: SplitMix64, whose state only ever advances by a constant, so that
/// calls from several threads share it with one atomic addition each and take no lock.
class RetryJitter {
 public:
  explicit RetryJitter(std::uint64_t seed) noexcept : state_(seed) {}
  /// A value drawn uniformly from [0, 1).
  double unit() noexcept;

 private:
  std::atomic<std::uint64_t> state_;
};

}  // namespace corvane::detail
