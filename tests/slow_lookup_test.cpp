// Run with a preloaded getaddrinfo that takes 4 s for hosts under .slow.test: libcurl's resolver thread is
// left behind, so a call still ends at its timeout, its deadline or when the hook says stop, and a stream
// handshake at its timeout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "corvane/corvane.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SlowNameLookup, CannotHoldACallPastItsBounds) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "slow_lookup") == nullptr) GTEST_SKIP() << "run without the shim";
  const std::string http = "http://bridge.slow.test:8080", ws = "ws://bridge.slow.test:8080";
  ClientOptions withDeadline;
  withDeadline.deadline = 500ms;
  ClientOptions withHook;
  auto hookStart = Clock::now();
  withHook.interrupted = [&hookStart] { return Clock::now() - hookStart > 300ms; };
  IsaacSimClient timed("t", http, ws, 500ms, 0);
  IsaacSimClient deadlined("t", http, ws, 5000ms, 3, withDeadline);
  IsaacSimClient hooked("t", http, ws, 5000ms, 3, withHook);
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"timeout", [&] { (void)timed.get("/x"); }},
      {"deadline", [&] { (void)deadlined.get("/x"); }},
      {"hook",
       [&] {
         hookStart = Clock::now();
         (void)hooked.get("/x");
       }},
      {"handshake", [&] { (void)timed.openJointPositionStream("/World/arm"); }},
  };
  for (const auto& [name, call] : calls) {
    const auto start = Clock::now();
    EXPECT_THROW(call(), std::runtime_error) << name;
    EXPECT_LT(Clock::now() - start, 2000ms) << name << ": the lookup takes 4 s";
  }
}

}  // namespace
}  // namespace corvane
