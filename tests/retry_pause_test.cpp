// The pause between attempts: its range for each attempt, and that a signal does not cut it short.
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "client/retry_pause.hpp"

namespace corvane::detail {
namespace {

using namespace std::chrono_literals;

TEST(RetryPause, DoublesFromHalfASecondAndCapsAtEightSeconds) {
  const struct {
    int attempt;
    long long base;
  } cases[] = {{0, 500}, {1, 1000}, {2, 2000}, {3, 4000}, {4, 8000}, {10, 8000}, {40, 8000}, {1 << 30, 8000}};
  for (const auto& c : cases) {
    EXPECT_EQ(retryPause(c.attempt, 0).count(), c.base * 3 / 4) << c.attempt;
    EXPECT_EQ(retryPause(c.attempt, RAND_MAX).count(), c.base) << c.attempt;
  }
}

TEST(RetryPause, JitterTruncatesTowardZero) {
  // 500 * (0.75 + 0.25 * 1000/2147483647) = 375.0000582...: truncated to 375.
  EXPECT_EQ(retryPause(0, 1000).count(), 375);
  // Half way: 0.875 * 1000 = 875 (minus a hair, truncated).
  EXPECT_EQ(retryPause(1, RAND_MAX / 2).count(), 874);
}

extern "C" void ignoreSignal(int) {}

TEST(SleepFor, ResumesAfterASignal) {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t sleeper = pthread_self();
  std::thread interrupter([sleeper] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(20ms);
      pthread_kill(sleeper, SIGUSR1);
    }
  });
  const auto started = std::chrono::steady_clock::now();
  sleepFor(300ms);
  const auto slept = std::chrono::steady_clock::now() - started;
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GE(slept, 300ms);
}

}  // namespace
}  // namespace corvane::detail
