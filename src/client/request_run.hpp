#pragma once

// The request engine: any number of REST requests, each with its own attempts, pauses and deadline, driven
// together on the calling thread through libcurl's multi interface. A verb call is a run of one request.
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/batch.hpp"
#include "corvane/options.hpp"

namespace corvane::detail {

class ConnectionPool;
class ReplyBuffer;
class RetryJitter;

/// One request of a run. The views must stay valid until the run returns.
struct PlannedRequest {
  std::string_view method;
  std::string url;  ///< computed once, used by every attempt
  std::string_view body;
  /// When set, each attempt reads its reply body into a fresh buffer stored here (the last attempt's is what
  /// is left), and the response's body stays empty: a frame keeps that buffer instead of a copy.
  std::shared_ptr<ReplyBuffer>* replyBuffer = nullptr;
};

/// When an entry's outcome was settled, and after how many attempts (for the client's observer).
struct EntryEnd {
  int attempts = 0;
  std::chrono::system_clock::time_point time;
};

/// The client's settings a run reads.
struct RunSettings {
  std::chrono::milliseconds timeout;
  int maxRetries;
  const ClientOptions& options;
  ConnectionPool* pool;                   ///< null without reuseConnections
  RetryJitter* jitter;                    ///< the client's; null (and unused) without options.retryPolicy
  std::vector<EntryEnd>* ends = nullptr;  ///< when set (one per request), filled as entries end
};

/// Performs every request and returns their outcomes in order. Each request makes up to maxRetries + 1
/// attempts, each on a fresh easy handle (one reset to that state with reuseConnections); what the retry policy
/// (or, without one, RetryPolicy's defaults) retries is made again after its jittered, growing pause. libcurl
/// errors that no retry can mend are never retried.
/// Throws only InterruptedError and SetupError for a failure of the multi interface itself; every other failure is its
/// request's outcome.
std::vector<BatchResult> runRequests(const RunSettings& settings, const std::vector<PlannedRequest>& requests);

/// runRequests, telling the options' observer (when one is set) of each entry's outcome, also when the whole
/// run fails; `paths` are the entries' resource paths as the caller gave them.
std::vector<BatchResult> runObserved(const RunSettings& settings, const std::vector<PlannedRequest>& planned,
                                     const std::vector<std::string_view>& paths);

/// Whether a libcurl error comes from the request, the client's own settings or what the peer is, so that
/// no retry can mend it: a malformed URL, an unsupported scheme, a feature libcurl was built without, a
/// refused argument, an unreadable CA file, a certificate that fails verification, a reply past the cap.
bool isPermanentError(int curlCode) noexcept;

}  // namespace corvane::detail
