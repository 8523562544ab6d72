#pragma once

// Which failed REST attempts a client makes again, and after what pause (ClientOptions::retryPolicy).
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/export.hpp"

namespace corvane {

/// The rules by which a client retries a REST request (a verb call, a batch entry, a capture): which statuses
/// are made again, which methods are sent again after a transport error, and the pauses between attempts. How
/// many attempts there are stays the client's retry count (max_retries). A default-constructed policy holds
/// the rules of a client built without one: the statuses 408, 409, 429 and >= 500 (but 501), every method after
/// a transport error, pauses doubling from 500 ms to at most 8000 ms, scaled by a random factor in [0.75, 1].
///
/// One difference stays on purpose between a client without a policy and one with the default policy: the
/// former takes its jitter from libc's rand() (never seeded by the library, shared with the host), as the
/// clients built with the five basic arguments always did; the latter from a random engine of its own, seeded
/// per client, which a host's srand() does not touch and which does not depend on RAND_MAX.
///
/// The client checks the policy when it is built (std::invalid_argument, see ClientOptions).
struct CORVANE_API RetryPolicy {
  /// Statuses retried; after the last attempt the response is returned as it is. Every other status ends the
  /// request at once. Each must lie in [100, 999]. Leave 409 out to make "conflict" final.
  std::vector<long> statuses{408, 409, 429};
  /// Also retry every status from 500 on but 501 (Not Implemented, which no retry changes).
  bool serverErrors = true;
  /// The methods (of GET, POST, PUT, PATCH, DELETE) sent again after a transport error that may have come once
  /// the request reached the bridge: a timeout, a connection reset or closed before the reply, a reply that is
  /// not HTTP. Leave POST out so that a command is never sent twice after a timeout. A request that never
  /// left (the name lookup or the connection failed) is retried whatever its method; errors that no retry can
  /// mend (a malformed URL, a certificate that fails verification, a reply past maxReplyBytes) never are.
  std::vector<std::string> transportErrorMethods{"GET", "POST", "PUT", "PATCH", "DELETE"};
  /// The pause after the first failed attempt; it doubles after each further one, up to largestPause.
  /// Must be positive.
  std::chrono::milliseconds firstPause{500};
  /// The longest pause; must not be shorter than firstPause.
  std::chrono::milliseconds largestPause{8000};
  /// The random share of each pause, in [0, 1]: a pause is its nominal length times a factor drawn from
  /// [1 - jitter, 1]. 0: pauses of exactly the nominal length.
  double jitter = 0.25;

  /// The pause after failed attempt `attempt` (0 for the first): firstPause * 2^attempt, at most largestPause,
  /// times (1 - jitter + jitter * unit) for `unit` in [0, 1], truncated to whole milliseconds.
  [[nodiscard]] std::chrono::milliseconds pauseAfter(int attempt, double unit) const noexcept;
  /// Whether a reply with `status` is retried.
  [[nodiscard]] bool retriesStatus(long status) const noexcept;
  /// Whether a request with `method` is sent again after a transport error once it may have reached the bridge.
  [[nodiscard]] bool resendsAfterTransportError(std::string_view method) const noexcept;
};

}  // namespace corvane
