#include "client/request_run.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "client/connection_pool.hpp"
#include "client/curl_handle.hpp"
#include "client/interruption.hpp"
#include "client/retry_pause.hpp"
#include "client/time_limit.hpp"
#include "client/transfer_setup.hpp"

namespace corvane::detail {
namespace {

using std::chrono::milliseconds;

bool isRetryableStatus(long status) {
  return status == 408 || status == 409 || status == 429 || (status >= 500 && status != 501);
}

// Whether the attempt connected to anything: libcurl clears the peer's address when a transfer starts.
bool reachedServer(CURL* handle) {
  const char* address = nullptr;
  return curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address != nullptr && *address != '\0';
}

void checkMulti(CURLMcode code, const char* call) {
  if (code != CURLM_OK) throw SetupError(std::string(call) + " failed: " + curl_multi_strerror(code), 0);
}

// The easy handle of a running attempt, inside the run's multi handle from construction to destruction,
// then handed back to the scope (kept for the next attempt, or freed).
class RunningAttempt {
 public:
  RunningAttempt(EasyHandle handle, HeaderList headers, MultiScope& scope)
      : headers_(std::move(headers)), handle_(std::move(handle)), scope_(scope) {
    checkMulti(curl_multi_add_handle(scope_.multi(), handle_.get()), "curl_multi_add_handle");
  }
  RunningAttempt(const RunningAttempt&) = delete;
  RunningAttempt& operator=(const RunningAttempt&) = delete;
  ~RunningAttempt() {
    curl_multi_remove_handle(scope_.multi(), handle_.get());
    scope_.giveBack(std::move(handle_));
  }

  CURL* handle() const noexcept { return handle_.get(); }

 private:
  HeaderList headers_;  // released after the handle stopped reading it
  EasyHandle handle_;
  MultiScope& scope_;
};

// One request across its attempts.
struct Entry {
  explicit Entry(const PlannedRequest& request) : plan(&request) {}

  const PlannedRequest* plan;
  HttpResponse response;  // libcurl writes into it: entries never move once the run has started
  std::unique_ptr<RunningAttempt> running;
  int attempt = 0;             // the running attempt's number, or the next one's
  Clock::time_point wakeAt;    // the next attempt starts no earlier
  bool cutByDeadline = false;  // the running attempt's timeout was cut to what the deadline left
  bool garbledReply = false;   // the last attempt reached a server whose reply was not HTTP
  std::optional<BatchResult> result;

  bool waiting() const { return !result && !running; }
};

class Run {
 public:
  Run(const RunSettings& settings, const std::vector<PlannedRequest>& requests)
      : settings_(settings), interruption_(settings.options.interrupted), multi_(settings.pool) {
    if (settings.options.deadline) deadline_ = pointAfter(*settings.options.deadline);
    entries_.reserve(requests.size());
    for (const PlannedRequest& request : requests) entries_.emplace_back(request);
  }

  std::vector<BatchResult> perform() {
    interruption_.check();
    for (;;) {
      startDue(Clock::now());
      if (std::none_of(entries_.begin(), entries_.end(), [](const Entry& e) { return e.running != nullptr; })) {
        const std::optional<Clock::time_point> wake = nextWake();
        if (!wake) break;
        interruption_.pause(*wake - Clock::now());
        startDue(*wake);  // the pause is over, even when a sleep failed and ended it early
        continue;
      }
      int active = 0;
      checkMulti(curl_multi_perform(multi_.multi(), &active), "curl_multi_perform");
      collectFinished();
      if (std::any_of(entries_.begin(), entries_.end(), [](const Entry& e) { return e.running != nullptr; })) {
        checkMulti(curl_multi_poll(multi_.multi(), nullptr, 0, pollTimeout(), nullptr), "curl_multi_poll");
      }
      interruption_.checkIfDue();
    }
    std::vector<BatchResult> results;
    results.reserve(entries_.size());
    for (Entry& entry : entries_) results.push_back(std::move(*entry.result));
    return results;
  }

 private:
  void startDue(Clock::time_point now) {
    for (Entry& entry : entries_) {
      if (entry.waiting() && entry.wakeAt <= now) start(entry);
    }
  }

  // Each attempt's timeout is the client's, cut to what is left before the deadline (never 0: libcurl's
  // "no timeout").
  milliseconds attemptTimeout(Entry& entry) const {
    entry.cutByDeadline = false;
    if (!deadline_) return settings_.timeout;
    const milliseconds left = std::max(milliseconds(1), std::chrono::ceil<milliseconds>(*deadline_ - Clock::now()));
    if (left >= settings_.timeout) return settings_.timeout;
    entry.cutByDeadline = true;
    return left;
  }

  void start(Entry& entry) {
    entry.response = HttpResponse{};
    try {
      EasyHandle handle = multi_.takeHandle();
      const AttemptSetup setup{entry.plan->method,    entry.plan->url,   entry.plan->body,
                               attemptTimeout(entry), settings_.options, poolShare()};
      HeaderList headers = configureAttempt(handle.get(), setup, entry.response);
      entry.running = std::make_unique<RunningAttempt>(std::move(handle), std::move(headers), multi_);
    } catch (...) {
      entry.result.emplace(std::current_exception());  // set-up failures are final: nothing was sent
    }
  }

  CURLSH* poolShare() const { return settings_.pool != nullptr ? settings_.pool->share() : nullptr; }

  void collectFinished() {
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi_.multi(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      const CURL* handle = message->easy_handle;
      const CURLcode code = message->data.result;  // read before the handle leaves the multi handle
      for (Entry& entry : entries_) {
        if (entry.running && entry.running->handle() == handle) finish(entry, code);
      }
    }
  }

  void finish(Entry& entry, CURLcode code) {
    if (code == CURLE_OK) curl_easy_getinfo(entry.running->handle(), CURLINFO_RESPONSE_CODE, &entry.response.status);
    // libcurl reports a reply that is not HTTP as an unsupported protocol, like a URL's unknown scheme: only
    // the scheme is beyond any retry.
    entry.garbledReply = code == CURLE_UNSUPPORTED_PROTOCOL && reachedServer(entry.running->handle());
    entry.running.reset();
    settle(entry, code, Clock::now());
  }

  // Decides what follows an attempt: its outcome is final, or the next attempt is due after a pause.
  void settle(Entry& entry, CURLcode code, Clock::time_point now) {
    const bool failed = code != CURLE_OK;
    if (!failed && !isRetryableStatus(entry.response.status)) return end(entry, code, false);
    if (failed && isPermanentError(code) && !entry.garbledReply) return end(entry, code, false);
    const bool cutShort = failed && code == CURLE_OPERATION_TIMEDOUT && entry.cutByDeadline;
    if (entry.attempt >= settings_.maxRetries || cutShort) return end(entry, code, cutShort);
    const milliseconds pause = retryPause(entry.attempt, std::rand());
    if (deadline_ && now + pause >= *deadline_) return end(entry, code, true);
    entry.wakeAt = now + pause;
    ++entry.attempt;
  }

  void end(Entry& entry, CURLcode code, bool byDeadline) {
    if (settings_.ends)
      (*settings_.ends)[&entry - entries_.data()] = {entry.attempt + 1, std::chrono::system_clock::now()};
    if (code == CURLE_OK) {
      entry.result.emplace(std::move(entry.response));
      return;
    }
    const TransportErrorKind kind = byDeadline           ? TransportErrorKind::deadlineExceeded
                                    : entry.garbledReply ? TransportErrorKind::other
                                                         : transportErrorKindOf(code);
    entry.result.emplace(std::make_exception_ptr(
        TransportError(curlErrorText("HTTP request failed: ", code), code, entry.attempt + 1, kind)));
  }

  std::optional<Clock::time_point> nextWake() const {
    std::optional<Clock::time_point> wake;
    for (const Entry& entry : entries_) {
      if (entry.waiting() && (!wake || entry.wakeAt < *wake)) wake = entry.wakeAt;
    }
    return wake;
  }

  // How long to wait for the network: until libcurl's own next timer at most (curl_multi_poll takes care of
  // that), the next pause's end, or the hook's next turn.
  int pollTimeout() const {
    milliseconds timeout = std::min(interruption_.untilDue(), milliseconds(1000));
    if (const auto wake = nextWake()) {
      timeout = std::min(timeout, std::chrono::ceil<milliseconds>(*wake - Clock::now()));
    }
    return static_cast<int>(std::max(milliseconds(0), timeout).count());
  }

  const RunSettings& settings_;
  std::optional<Clock::time_point> deadline_;
  Interruption interruption_;
  MultiScope multi_;  // outlives the entries, whose handles leave it when they end
  std::vector<Entry> entries_;
};

}  // namespace

std::vector<BatchResult> runRequests(const RunSettings& settings, const std::vector<PlannedRequest>& requests) {
  return Run(settings, requests).perform();
}

bool isPermanentError(int curlCode) noexcept {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_SSL_CACERT_BADFILE:
      return true;
    default:
      return false;
  }
}

}  // namespace corvane::detail
