#include "client/request_run.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "client/connection_pool.hpp"
#include "client/curl_handle.hpp"
#include "client/interruption.hpp"
#include "client/retry_pause.hpp"
#include "client/retry_rules.hpp"
#include "client/time_limit.hpp"
#include "client/transfer_setup.hpp"

namespace corvane::detail {
namespace {

using std::chrono::milliseconds;

// Whether a failed attempt never sent its request: the name lookup or the connection failed, or a proxy refused
// the tunnel. Sending it again cannot repeat a command.
bool neverSent(CURLcode code, long proxyStatus) {
  return code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_CONNECT ||
         proxyStatus != 0;
}

// Whether the attempt connected to anything: libcurl clears the peer's address when a transfer starts.
bool reachedServer(CURL* handle) {
  const char* address = nullptr;
  return curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address != nullptr && *address != '\0';
}

// The scheme a URL names ("file" of "file:///etc/"), or "" when it names none.
std::string schemeOf(const std::string& url) {
  const auto end = url.find("://");
  return end == std::string::npos ? std::string() : url.substr(0, end);
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
  Entry(const PlannedRequest& request, std::size_t replyLimit) : plan(&request), replyLimit(replyLimit) {}

  const PlannedRequest* plan;
  HttpResponse response;          // libcurl writes into it: entries never move once the run has started
  std::optional<ReplySink> sink;  // the running attempt's, into `response` (or the plan's reply buffer)
  std::size_t replyLimit;         // the most body bytes one attempt takes
  std::unique_ptr<RunningAttempt> running;
  int attempt = 0;             // the running attempt's number, or the next one's
  Clock::time_point wakeAt;    // the next attempt starts no earlier
  bool cutByDeadline = false;  // the running attempt's timeout was cut to what the deadline left
  bool garbledReply = false;   // the last attempt reached a server whose reply was not HTTP
  long proxyStatus = 0;        // a proxy's answer to the last attempt's CONNECT, when it refused the tunnel
  std::optional<BatchResult> result;

  bool waiting() const { return !result && !running; }
};

class Run {
 public:
  Run(const RunSettings& settings, const std::vector<PlannedRequest>& requests)
      : settings_(settings),
        interruption_(settings.options.interrupted),
        multi_(settings.pool, settings.options.maxConnections),
        rules_(settings.options.retryPolicy ? *settings.options.retryPolicy : defaultRetryPolicy()) {
    if (settings.options.deadline) deadline_ = pointAfter(*settings.options.deadline);
    entries_.reserve(requests.size());
    for (const PlannedRequest& request : requests) entries_.emplace_back(request, settings.options.maxReplyBytes);
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
  // Starts the attempts that are due, as long as the run has fewer than maxConnections running: the rest
  // wait for one to end, their timeouts not yet running.
  void startDue(Clock::time_point now) {
    for (Entry& entry : entries_) {
      if (running_ >= settings_.options.maxConnections) return;
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
    try {
      ReplyBuffer* buffer = nullptr;
      if (entry.plan->replyBuffer != nullptr) {
        *entry.plan->replyBuffer = std::make_shared<ReplyBuffer>();
        buffer = entry.plan->replyBuffer->get();
      }
      entry.response = HttpResponse{};
      entry.sink.emplace(entry.response, entry.replyLimit, buffer);
      EasyHandle handle = multi_.takeHandle();
      const AttemptSetup setup{entry.plan->method,    entry.plan->url,   entry.plan->body,
                               attemptTimeout(entry), settings_.options, poolShare()};
      HeaderList headers = configureAttempt(handle.get(), setup, *entry.sink);
      entry.running = std::make_unique<RunningAttempt>(std::move(handle), std::move(headers), multi_);
      ++running_;
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
    CURL* handle = entry.running->handle();
    if (code == CURLE_OK) curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &entry.response.status);
    // libcurl reports a reply that is not HTTP as an unsupported protocol, like a URL's unknown scheme: only
    // the scheme is beyond any retry.
    entry.garbledReply = code == CURLE_UNSUPPORTED_PROTOCOL && reachedServer(handle);
    if (entry.sink->tooLarge()) code = CURLE_FILESIZE_EXCEEDED;  // not the write error libcurl saw
    entry.proxyStatus = code != CURLE_OK ? proxyRefusal(handle) : 0;
    entry.running.reset();
    --running_;
    settle(entry, code, Clock::now());
  }

  // Decides what follows an attempt: its outcome is final, or the next attempt is due after a pause.
  void settle(Entry& entry, CURLcode code, Clock::time_point now) {
    const bool failed = code != CURLE_OK;
    if (!failed && !rules_.retriesStatus(entry.response.status)) return end(entry, code, false);
    if (failed && isPermanentError(code) && !entry.garbledReply) return end(entry, code, false);
    if (entry.proxyStatus >= 400 && entry.proxyStatus < 500) return end(entry, code, false);  // the proxy said no
    const bool cutShort = failed && code == CURLE_OPERATION_TIMEDOUT && entry.cutByDeadline;
    if (entry.attempt >= settings_.maxRetries || cutShort) return end(entry, code, cutShort);
    if (failed && !neverSent(code, entry.proxyStatus) && !rules_.resendsAfterTransportError(entry.plan->method))
      return end(entry, code, false);
    const milliseconds pause = pauseAfter(entry.attempt);
    if (deadline_ && now + pause >= *deadline_) return end(entry, code, true);
    entry.wakeAt = now + pause;
    ++entry.attempt;
  }

  // A client without a policy takes its jitter from rand(), as it always did; one with a policy from its own
  // engine.
  milliseconds pauseAfter(int attempt) const {
    if (!settings_.options.retryPolicy) return retryPause(attempt, std::rand());
    return rules_.pauseAfter(attempt, settings_.jitter->unit());
  }

  void end(Entry& entry, CURLcode code, bool byDeadline) {
    if (settings_.ends)
      (*settings_.ends)[&entry - entries_.data()] = {entry.attempt + 1, std::chrono::system_clock::now()};
    if (code == CURLE_OK) {
      entry.result.emplace(std::move(entry.response));
      return;
    }
    TransportErrorKind kind = transportErrorKindOf(code);
    if (entry.proxyStatus != 0) kind = TransportErrorKind::proxyRefused;
    if (entry.garbledReply) kind = TransportErrorKind::other;
    if (byDeadline) kind = TransportErrorKind::deadlineExceeded;
    entry.result.emplace(std::make_exception_ptr(
        TransportError(failureMessage(entry, code), code, entry.attempt + 1, kind, entry.proxyStatus)));
  }

  // libcurl's text for the code, and for the faults a caller must act on, what exactly happened.
  std::string failureMessage(const Entry& entry, CURLcode code) const {
    std::string message = curlErrorText("HTTP request failed: ", code);
    if (code == CURLE_FILESIZE_EXCEEDED) {
      message += " (the reply is larger than maxReplyBytes, " + std::to_string(entry.replyLimit) + " bytes)";
    } else if (code == CURLE_UNSUPPORTED_PROTOCOL && !entry.garbledReply) {
      const std::string scheme = schemeOf(entry.plan->url);
      message += ": " + (scheme.empty() ? std::string(entry.sink->errorText()) : scheme) +
                 " (REST calls use http and https only)";
    } else if (entry.proxyStatus != 0) {
      message += " (" + std::string(entry.sink->errorText()) + ")";
    }
    return message;
  }

  // When the next waiting attempt is due; none while every connection slot is taken (an attempt ending
  // frees one, and the network wait wakes for that).
  std::optional<Clock::time_point> nextWake() const {
    std::optional<Clock::time_point> wake;
    if (running_ >= settings_.options.maxConnections) return wake;
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
  int running_ = 0;  // attempts in the multi handle
  std::optional<Clock::time_point> deadline_;
  Interruption interruption_;
  MultiScope multi_;  // outlives the entries, whose handles leave it when they end
  const RetryPolicy& rules_;
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
    case CURLE_PEER_FAILED_VERIFICATION:  // a certificate does not change between attempts
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_FILESIZE_EXCEEDED:  // the same reply would come again
      return true;
    default:
      return false;
  }
}

}  // namespace corvane::detail
