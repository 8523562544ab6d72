// Retry policies against the test bridge: each rule (statuses, methods after a transport error, pauses and
// jitter) in verb calls and batches, the jitter's own engine, and the policies a client refuses.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::Reply;
using testing::TestBridge;

IsaacSimClient clientWith(const std::string& base, RetryPolicy policy, int retries = 1,
                          std::chrono::milliseconds timeout = 5000ms) {
  ClientOptions options;
  options.retryPolicy = std::move(policy);
  return IsaacSimClient("retry", base, "ws://unused", timeout, retries, std::move(options));
}

RetryPolicy quick() {
  RetryPolicy policy;
  policy.firstPause = 10ms;
  policy.largestPause = 10ms;
  return policy;
}

// The attempts a failed entry made, or 0 when it did not fail in transport.
int attemptsOf(const BatchResult& result) {
  try {
    (void)result.response();
  } catch (const TransportError& error) {
    return error.attempts();
  }
  return 0;
}

TEST(RetryPolicyRules, OnlyThePolicysStatusesAreRetried) {
  RetryPolicy motion = quick();
  motion.statuses = {408, 429};  // 409 final: the bridge refused the command, sending it again will not help
  RetryPolicy noServerErrors = quick();
  noServerErrors.serverErrors = false;
  noServerErrors.statuses = {423};
  const struct {
    const RetryPolicy& policy;
    int status;
    std::size_t requests;
  } cases[] = {
      {motion, 409, 1}, {motion, 503, 2}, {motion, 429, 2}, {noServerErrors, 503, 1}, {noServerErrors, 423, 2}};
  for (const auto& c : cases) {
    TestBridge bridge;
    bridge.enqueue(Reply::json(c.status, "{}"));
    IsaacSimClient client = clientWith(bridge.baseUrl(), c.policy);
    const int expected = c.requests == 1 ? c.status : 200;
    EXPECT_EQ(client.post("/move", "{}").status, expected) << c.status;
    EXPECT_EQ(bridge.requestCount(), c.requests) << c.status;
  }
}

TEST(RetryPolicyRules, TransportErrorsResendOnlyTheListedMethodsUnlessNothingWasSent) {
  TestBridge bridge;
  bridge.setReplyFor("/slow", Reply::delayed(3000ms, Reply::json(200, "{}")));
  bridge.setReplyFor("/gone", Reply::hangUp());
  RetryPolicy policy = quick();
  policy.transportErrorMethods = {"GET", "PUT", "DELETE"};
  IsaacSimClient client = clientWith(bridge.baseUrl(), policy, 1, 300ms);

  const std::vector<BatchResult> results =
      client.batch({{"POST", "/slow", "{}"}, {"GET", "/slow", ""}, {"POST", "/gone", "{}"}, {"PUT", "/gone", "{}"}});
  EXPECT_EQ(attemptsOf(results[0]), 1) << "a move is not sent again after a timeout";
  EXPECT_EQ(attemptsOf(results[1]), 2);
  EXPECT_EQ(attemptsOf(results[2]), 1) << "nor after the connection closed before the reply";
  EXPECT_EQ(attemptsOf(results[3]), 2);
  EXPECT_EQ(bridge.requestCount(), 6u);

  IsaacSimClient refused = clientWith("http://127.0.0.1:" + std::to_string(TestBridge::closedPort()), policy);
  EXPECT_EQ(attemptsOf(refused.batch({{"POST", "/move", "{}"}}).front()), 2) << "what never left is sent again";
}

TEST(RetryPolicyRules, PausesDoubleFromTheBaseToTheCapWithinTheJitter) {
  RetryPolicy policy;
  policy.firstPause = 100ms;
  policy.largestPause = 300ms;
  policy.jitter = 0.5;
  EXPECT_EQ(policy.pauseAfter(0, 0.0), 50ms);
  EXPECT_EQ(policy.pauseAfter(1, 0.5), 150ms);
  EXPECT_EQ(policy.pauseAfter(2, 1.0), 300ms) << "400 ms capped";
  EXPECT_EQ(policy.pauseAfter(1 << 30, 0.0), 150ms);
  policy.jitter = 0.0;
  EXPECT_EQ(policy.pauseAfter(1, 0.9), 200ms);
  RetryPolicy unchecked = policy;  // values no client takes still give a pause, at once
  unchecked.jitter = std::nan("");
  EXPECT_EQ(unchecked.pauseAfter(1, std::nan("")), 200ms);
  unchecked.firstPause = 0ms;
  EXPECT_EQ(unchecked.pauseAfter(1 << 30, 1.0), 0ms);

  TestBridge bridge;
  bridge.enqueue(Reply::json(503, "{}"), 4);
  IsaacSimClient client = clientWith(bridge.baseUrl(), policy, 3);
  EXPECT_EQ(client.get("/x").status, 503);
  const auto requests = bridge.requests();
  ASSERT_EQ(requests.size(), 4u);
  const double nominal[] = {100, 200, 300};
  for (int i = 0; i < 3; ++i) {
    const double gap = std::chrono::duration<double, std::milli>(requests[i + 1].arrival - requests[i].arrival).count();
    EXPECT_GE(gap, nominal[i] - 5) << "pause " << i;
    EXPECT_LE(gap, nominal[i] + 400) << "pause " << i;  // generous: connection set-up and a busy machine
  }
}

TEST(RetryPolicyRules, AClientWithAPolicyLeavesTheHostsRandAlone) {
  std::srand(42);
  const int first = std::rand();
  const int second = std::rand();
  TestBridge bridge;
  bridge.enqueue(Reply::json(503, "{}"));
  std::srand(42);
  EXPECT_EQ(clientWith(bridge.baseUrl(), quick()).get("/x").status, 200);
  EXPECT_EQ(std::rand(), first) << "the policy's jitter comes from the client's own engine";

  bridge.enqueue(Reply::json(503, "{}"));
  std::srand(42);
  EXPECT_EQ(IsaacSimClient("plain", bridge.baseUrl(), "ws://unused", 5000ms, 1).get("/x").status, 200);
  EXPECT_EQ(std::rand(), second) << "without a policy the pause took one value of rand()";
}

TEST(RetryPolicyRules, ClientsRefuseAPolicyThatCannotWork) {
  const auto refuses = [](auto change, const std::string& message) {
    RetryPolicy policy;
    change(policy);
    EXPECT_THROW_MSG(clientWith("http://h/", policy), std::invalid_argument, message);
  };
  refuses([](RetryPolicy& p) { p.statuses = {503, 42}; }, "retryPolicy: status 42 is not an HTTP status");
  refuses([](RetryPolicy& p) { p.transportErrorMethods = {"post"}; }, "retryPolicy: unsupported HTTP method: post");
  refuses([](RetryPolicy& p) { p.firstPause = 0ms; }, "retryPolicy: the first pause must be positive");
  refuses([](RetryPolicy& p) { p.largestPause = 100ms; },
          "retryPolicy: the largest pause must not be shorter than the first");
  refuses([](RetryPolicy& p) { p.jitter = 1.5; }, "retryPolicy: the jitter must lie in [0, 1]");
  refuses([](RetryPolicy& p) { p.jitter = std::nan(""); }, "retryPolicy: the jitter must lie in [0, 1]");
}

}  // namespace
}  // namespace corvane
