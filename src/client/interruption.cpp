#include "client/interruption.hpp"

#include <algorithm>

#include "client/curl_handle.hpp"
#include "client/retry_pause.hpp"
#include "corvane/errors.hpp"

namespace corvane::detail {

void Interruption::check() {
  if (!hook_) return;
  asked_ = std::chrono::steady_clock::now();
  if (hook_()) throw InterruptedError();
}

void Interruption::checkIfDue() {
  if (hook_ && std::chrono::steady_clock::now() - asked_ >= kPeriod) check();
}

std::chrono::milliseconds Interruption::untilDue() const {
  if (!hook_) return std::chrono::hours(1);
  const auto left = asked_ + kPeriod - std::chrono::steady_clock::now();
  return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left));
}

void Interruption::pause(std::chrono::nanoseconds pause) {
  if (!hook_) {
    sleepFor(pause);
    return;
  }
  const auto until = std::chrono::steady_clock::now() + pause;
  for (auto left = pause; left.count() > 0; left = until - std::chrono::steady_clock::now()) {
    const bool slept = sleepFor(std::min<std::chrono::nanoseconds>(left, untilDue()));
    checkIfDue();
    if (!slept) return;
  }
}

void Interruption::watch(CURL* handle) {
  if (!hook_) return;
  setOption(handle, CURLOPT_XFERINFOFUNCTION, &Interruption::progress);
  setOption(handle, CURLOPT_XFERINFODATA, static_cast<void*>(this));
  setOption(handle, CURLOPT_NOPROGRESS, 0L);
}

void Interruption::unwatch(CURL* handle) noexcept {
  if (!hook_) return;
  // Switching the callback off cannot fail: libcurl only stores these values.
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void*>(nullptr));
}

void Interruption::rethrowIfInterrupted() const {
  if (thrown_) std::rethrow_exception(thrown_);
  if (stopped_) throw InterruptedError();
}

// A C frame: what the hook throws is kept for rethrowIfInterrupted. Non-zero aborts the transfer.
int Interruption::progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  auto& interruption = *static_cast<Interruption*>(self);
  try {
    interruption.checkIfDue();
    return 0;
  } catch (const InterruptedError&) {
    interruption.stopped_ = true;
  } catch (...) {
    interruption.thrown_ = std::current_exception();
  }
  return 1;
}

}  // namespace corvane::detail
