// ReconnectingStream: its backoff policy, reopening after the simulated bridge restarts on the same port
// (the articulation re-created in the hook, the opening messages sent again in order, frames flowing
// again), a bridge that refuses every reconnection, never answers it or drops each stream at once, and a
// hook that mends the cause of a refusal.
#include <gtest/gtest.h>
#include <algorithm>

#include <memory>
#include <thread>

#include "expect_throw.hpp"
#include "sim_bridge.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::TestBridge;
using testing::UpgradeAnswer;
using Clock = std::chrono::steady_clock;

// Receives until the stream has noticed that its connection is gone.
void awaitLoss(ReconnectingStream& stream) {
  for (const auto end = Clock::now() + 5s; stream.isConnected() && Clock::now() < end;) {
    (void)stream.receive();
    std::this_thread::sleep_for(1ms);
  }
}

// The gaps between the arrivals of the bridge's requests from `first` on.
std::vector<Clock::duration> gapsBetweenRequests(const TestBridge& bridge, std::size_t first) {
  const std::vector<testing::RecordedRequest> requests = bridge.requests();
  std::vector<Clock::duration> gaps;
  for (std::size_t i = first + 1; i < requests.size(); ++i)
    gaps.push_back(requests[i].arrival - requests[i - 1].arrival);
  return gaps;
}

TEST(ReconnectPolicy, PausesDoubleToTheLargestWithJitterAndAttemptsAreCounted) {
  const ReconnectPolicy policy(100ms, 1000ms, 3);
  const long long nominal[] = {100, 200, 400, 800, 1000, 1000};
  for (int attempt = 1; attempt <= 6; ++attempt) {
    EXPECT_EQ(policy.pauseBefore(attempt, 1.0).count(), nominal[attempt - 1]) << attempt;
    EXPECT_EQ(policy.pauseBefore(attempt, 0.0).count(), nominal[attempt - 1] / 2) << attempt;
  }
  EXPECT_EQ(policy.pauseBefore(1 << 30, 0.5).count(), 750) << "no overflow far out";
  const auto longest = ReconnectPolicy(100ms, std::chrono::milliseconds::max()).pauseBefore(100, 1.0);
  EXPECT_GT(longest, 24h * 365) << "a boundless largest pause still converts without overflow";
  EXPECT_LT(longest, 24h * 365 * 1000);
  EXPECT_TRUE(policy.allows(3));
  EXPECT_FALSE(policy.allows(4));
  EXPECT_TRUE(ReconnectPolicy().allows(1 << 30)) << "unlimited by default";
  EXPECT_EQ(ReconnectPolicy(1ms, 1ms).pauseBefore(1, 0.0), 1ms) << "half a millisecond is not rounded to none";
  EXPECT_EQ(policy.stableAfter(), 1s);
  EXPECT_EQ(ReconnectPolicy(100ms, 5s).stableAfter(), 5s);
  EXPECT_THROW(ReconnectPolicy(0ms), std::invalid_argument);
  EXPECT_THROW(ReconnectPolicy(100ms, 50ms), std::invalid_argument);
  EXPECT_THROW(ReconnectPolicy(100ms, 1s, -1), std::invalid_argument);
}

TEST(ReconnectingStream, ResumesAfterTheBridgeRestartsOnTheSamePort) {
  bridge_sim::ServerOptions options;
  options.ioThreads = 2;
  options.renderThreads = 1;
  options.streamRate = 200;
  auto server = std::make_unique<bridge_sim::Server>(options);
  server->start();
  options.port = server->port();
  IsaacSimClient client("test", server->httpUrl(), server->wsUrl(), 5000ms, 0);
  client.articulation.create("/World/arm");

  ReconnectOptions reconnect;
  reconnect.policy = ReconnectPolicy(20ms, 200ms);
  // Two targets for joint 1, the second overriding the first: the arm settles where the last one points.
  reconnect.openingMessages = {R"({"joint_positions":[0.5],"indices":[1]})",
                               R"({"joint_positions":[0.25],"indices":[1]})"};
  std::vector<ReopenAttempt> attempts;
  reconnect.beforeReopen = [&](const ReopenAttempt& attempt) {
    attempts.push_back(attempt);
    if (attempt.lastHttpStatus == 404) client.articulation.create("/World/arm");  // the restart lost it
  };
  std::vector<ReconnectEvent> events;
  reconnect.onReconnect = [&](const ReconnectEvent& event) { events.push_back(event); };
  ReconnectingStream stream(client, ArticulationStream::jointPositions, "/World/arm", reconnect);
  ASSERT_TRUE(stream.receiveFor(5s).has_value());

  std::thread restart([&] {
    server.reset();  // stops the bridge: the scene and the connection are gone
    std::this_thread::sleep_for(300ms);
    server = std::make_unique<bridge_sim::Server>(options);
    server->start();
  });
  int afterRestart = 0;
  double joint = -1;
  for (const auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
    const std::optional<std::string> text = stream.receiveFor(100ms);
    if (!text || events.empty()) continue;
    joint = json::parse(*text).at("joint_positions").at(1).get<double>();
    if (++afterRestart >= 50 && std::abs(joint - 0.25) < 1e-9) break;
  }
  restart.join();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_GE(afterRestart, 50) << "frames flow again";
  EXPECT_NEAR(joint, 0.25, 1e-9) << "the new arm got both targets again, in order";
  EXPECT_GE(events[0].attempts, 2);
  // A slow attempt after the one that saw 404 may fail another way, so look for the 404 among them all.
  EXPECT_TRUE(std::any_of(attempts.begin(), attempts.end(), [](const ReopenAttempt& a) {
    return a.lastHttpStatus == 404;
  })) << "the hook saw the restarted bridge's 404 and could recreate the arm";
  EXPECT_GE(events[0].down, 300ms);
  const StreamStats stats = stream.stats();
  EXPECT_EQ(stats.reconnections, 1u);
  EXPECT_GE(stats.timeDown, events[0].down);
  EXPECT_GT(stats.framesReceived, 50u);
}

TEST(ReconnectingStream, ABridgeRefusingEveryReconnectionGetsThePolicysAttemptsThenAnError) {
  TestBridge bridge;
  IsaacSimClient client("test", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  ReconnectOptions reconnect;
  reconnect.policy = ReconnectPolicy(10ms, 40ms, 3);
  reconnect.openingMessages = {"subscribe a", "subscribe b"};
  std::vector<long> statuses;
  reconnect.beforeReopen = [&](const ReopenAttempt& attempt) { statuses.push_back(attempt.lastHttpStatus); };
  ReconnectingStream stream(client, ArticulationStream::articulationState, "/World/arm", reconnect);
  const auto first = bridge.webSocket(0);
  ASSERT_NE(first, nullptr);
  first->sendText("one");
  first->dropConnection();
  EXPECT_EQ(stream.receiveFor(5s), "one");

  EXPECT_EQ(stream.receiveFor(300ms), std::nullopt);  // reopened within this wait
  const auto second = bridge.webSocket(1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->waitForTextMessages(2), (std::vector<std::string>{"subscribe a", "subscribe b"}));
  EXPECT_EQ(second->target(), "/articulations//World/arm/stream_articulation_state");
  second->sendText("two");
  EXPECT_EQ(stream.receiveFor(5s), "two");

  bridge.setUpgradeAnswer(testing::UpgradeAnswer::refuse);
  second->sendClose();  // the bridge closes the stream: that too is a loss
  const std::string gaveUp =
      "ReconnectingStream gave up after 3 reopening attempts; the last: WebSocket handshake "
      "failed for " +
      bridge.wsBaseUrl() +
      "articulations//World/arm/stream_articulation_state: HTTP response code said error (status 404)";
  const auto start = std::chrono::steady_clock::now();
  const auto keepReceiving = [&] {
    for (int call = 0; call < 10; ++call) (void)stream.receiveFor(500ms);
  };
  EXPECT_THROW_MSG(keepReceiving(), StreamError, gaveUp);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "pauses of 10 to 40 ms";
  EXPECT_EQ(bridge.requestCount(), 5u) << "two openings, then the policy's three attempts";
  EXPECT_EQ(statuses, (std::vector<long>{0, 0, 404, 404}));
  EXPECT_THROW_MSG(stream.receive(), StreamError, gaveUp) << "it stays given up";
  EXPECT_EQ(stream.stats().reconnections, 1u);
  EXPECT_EQ(stream.stats().framesReceived, 2u);
  stream.close();
  EXPECT_THROW_MSG(stream.send("x"), StreamError, "send() called on a closed ReconnectingStream");
}

// The bridge refuses or never answers: a call that does not wait makes at most one attempt (bounded by the
// client's timeout), and a waiting one pauses after the end of each failed attempt.
TEST(ReconnectingStream, ACallThatDoesNotWaitMakesOneAttemptAndPausesFollowTheAttempt) {
  for (const UpgradeAnswer answer : {UpgradeAnswer::refuse, UpgradeAnswer::stall}) {
    TestBridge bridge;
    IsaacSimClient client("test", bridge.baseUrl(), bridge.wsBaseUrl(), 200ms, 0);
    ReconnectOptions reconnect;
    reconnect.policy = ReconnectPolicy(100ms, 100ms, 40);
    ReconnectingStream stream(client, ArticulationStream::jointPositions, "/World/arm", reconnect);
    const auto peer = bridge.webSocket(0);
    ASSERT_NE(peer, nullptr);
    bridge.setUpgradeAnswer(answer);
    peer->dropConnection();
    awaitLoss(stream);
    for (int call = 0; call < 3; ++call) {
      std::this_thread::sleep_for(150ms);  // the pause has passed
      const std::size_t before = bridge.requestCount();
      const auto start = Clock::now();
      if (call < 2) {
        EXPECT_EQ(stream.receive(), std::nullopt);
      } else {
        EXPECT_THROW(stream.send("x"), StreamError);
      }
      EXPECT_LT(Clock::now() - start, 3s);
      EXPECT_EQ(bridge.requestCount(), before + 1) << "one attempt per call";
    }
    const std::size_t waitingFrom = bridge.requestCount();
    EXPECT_EQ(stream.receiveFor(1500ms), std::nullopt);
    const auto gaps = gapsBetweenRequests(bridge, waitingFrom - 1);
    EXPECT_GE(gaps.size(), 2u);
    // A stalled attempt lasts 200 ms; at least half the 100 ms pause follows its end.
    const auto shortest = answer == UpgradeAnswer::stall ? 240ms : 45ms;
    for (const auto gap : gaps) EXPECT_GE(gap, shortest);

    ReconnectingStream moved(std::move(stream));
    const std::size_t requests = bridge.requestCount();
    EXPECT_THROW_MSG(stream.receive(), StreamError, "receive() called on a closed ReconnectingStream");
    EXPECT_EQ(bridge.requestCount(), requests) << "a moved-from stream opens nothing";
  }
}

TEST(ReconnectingStream, AHookThatMendsTheCauseGetsOneRetryAtOncePerStep) {
  TestBridge bridge;
  IsaacSimClient client("test", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  ReconnectOptions reconnect;
  reconnect.policy = ReconnectPolicy(2s, 2s);  // pauses of 1 to 2 s
  std::vector<FailedAttempt> failures;
  reconnect.afterFailedAttempt = [&](const FailedAttempt& failed) {
    failures.push_back(failed);
    if (failures.size() == 3) bridge.setUpgradeAnswer(UpgradeAnswer::accept);  // mended, the third time
    return true;
  };
  int attempts = 0;
  reconnect.onReconnect = [&](const ReconnectEvent& event) { attempts = event.attempts; };
  ReconnectingStream stream(client, ArticulationStream::jointPositions, "/World/arm", reconnect);
  const auto peer = bridge.webSocket(0);
  ASSERT_NE(peer, nullptr);
  bridge.setUpgradeAnswer(UpgradeAnswer::refuse);
  peer->dropConnection();
  // Each call leaves a handshake time to finish, even under valgrind: the call's deadline bounds it.
  for (const auto end = Clock::now() + 20s; attempts == 0 && Clock::now() < end;) (void)stream.receiveFor(2s);
  EXPECT_EQ(attempts, 4);
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0].attempt, 1);
  EXPECT_EQ(failures[0].httpStatus, 404);
  EXPECT_EQ(failures[0].error, "WebSocket handshake failed for " + bridge.wsBaseUrl() +
                                   "articulations//World/arm/stream_joint_positions: HTTP response code said "
                                   "error (status 404)");
  const auto gaps = gapsBetweenRequests(bridge, 1);
  ASSERT_EQ(gaps.size(), 3u);
  EXPECT_LT(gaps[0], 900ms) << "the retry the hook asked for comes at once";
  EXPECT_GE(gaps[1], 950ms) << "once per step: the next attempt waits for its pause";
  EXPECT_LT(gaps[2], 900ms);
}

TEST(ReconnectingStream, ABridgeDroppingEachStreamAtOnceMeetsGrowingPauses) {
  TestBridge bridge;
  IsaacSimClient client("test", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  ReconnectOptions reconnect;
  reconnect.policy = ReconnectPolicy(10ms, 10s);
  reconnect.openingMessages = {"subscribe"};
  ReconnectingStream stream(client, ArticulationStream::jointPositions, "/World/arm", reconnect);
  const auto peer = bridge.webSocket(0);
  ASSERT_NE(peer, nullptr);
  bridge.setUpgradeAnswer(UpgradeAnswer::acceptThenClose);
  peer->sendClose();
  for (const auto end = Clock::now() + 2s; Clock::now() < end;) (void)stream.receiveFor(100ms);
  // Pauses of at least 5, 10, 20 ... 640 ms add up to 1.3 s: about ten reopenings, not hundreds.
  EXPECT_GE(stream.stats().reconnections, 3u);
  EXPECT_LE(stream.stats().reconnections, 12u);
}

}  // namespace
}  // namespace corvane
