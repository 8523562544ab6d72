#pragma once

// The caller's interruption hook (ClientOptions::interrupted), asked about every 100 ms while a call waits.
#include <chrono>
#include <exception>
#include <functional>

#include <curl/curl.h>

namespace corvane::detail {

class Interruption {
 public:
  static constexpr std::chrono::milliseconds kPeriod{100};

  /// `hook` may be empty: then nothing is ever called and every wait is one piece.
  explicit Interruption(const std::function<bool()>& hook) noexcept : hook_(hook) {}

  /// Asks the hook now; throws InterruptedError when it says so.
  void check();
  /// Asks the hook when a period has passed since it was last asked.
  void checkIfDue();
  /// How long a wait may last before the hook is due (a long time without a hook).
  std::chrono::milliseconds untilDue() const;
  /// Sleeps for `pause` (nanosleep, see sleepFor), in pieces of at most a period with the hook asked
  /// between them. Stops early when a sleep fails.
  void pause(std::chrono::nanoseconds pause);

  /// Makes libcurl ask the hook through its progress callback during a transfer run by curl_easy_perform
  /// (once a second at worst while nothing arrives). After the transfer, rethrowIfInterrupted.
  void watch(CURL* handle);
  /// Detaches the progress callback again (the handle outlives this object).
  void unwatch(CURL* handle) noexcept;
  /// Throws InterruptedError, or what the hook threw, when the hook stopped a watched transfer.
  void rethrowIfInterrupted() const;

 private:
  static int progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept;

  const std::function<bool()>& hook_;
  std::chrono::steady_clock::time_point asked_ = std::chrono::steady_clock::now();
  bool stopped_ = false;
  std::exception_ptr thrown_;
};

}  // namespace corvane::detail
