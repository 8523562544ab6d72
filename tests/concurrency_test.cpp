// One client shared by eight threads against the simulated bridge, 1,000 requests each: every request
// succeeds and every thread gets its own answers back; once with a connection per attempt, once with
// reuseConnections (kept connections handed from thread to thread, a shared name and TLS session cache).
// Each thread also holds a reconnecting stream of its arm, which reopens after the thread removes the arm
// (re-created by the stream's hook). scripts/tsan builds this test with ThreadSanitizer, where any data
// race in the library (or in the bridge it runs in-process) fails it.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "sim_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::SimBridge;

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 1000;
constexpr int kJoints = 7;  // the simulated bridge's built-in arm

struct Tally {
  std::atomic<int> succeeded{0};
  std::mutex mutex;
  std::vector<std::string> failures;

  void fail(int thread, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    failures.push_back("thread " + std::to_string(thread) + ": " + what);
  }
};

std::string armOf(int thread) { return "/World/arm" + std::to_string(thread); }

// One round of four requests on the shared client. The thread's own arm is set to values only this
// thread uses and read back, so an answer delivered to the wrong caller would show.
void round(IsaacSimClient& client, int thread, int index, Tally& tally) {
  const std::string arm = armOf(thread);
  const double value = 0.0001 * (thread * kRequestsPerThread + index);
  client.articulation.setJointPositions(arm, std::vector<double>(kJoints, value));
  tally.succeeded += 1;
  const nlohmann::json state = client.articulation.getJointsState(arm);
  tally.succeeded += 1;
  if (state.at("prim_path") != arm || state.at("joint_positions").at(0).get<double>() != value) {
    tally.fail(thread, "read back " + state.dump() + " after setting " + std::to_string(value));
  }
  if (!client.surfaceGripper.getStatus("/World/gripper").at("status").is_string()) tally.fail(thread, "status");
  tally.succeeded += 1;
  const HttpResponse limits = client.get("/articulations/" + arm + "/dof_limits");
  if (limits.status == 200)
    tally.succeeded += 1;
  else
    tally.fail(thread, "dof_limits answered " + std::to_string(limits.status));
}

// Removing the arm makes the bridge close its stream; the stream re-creates the arm and reopens.
void reconnectAfterRemoval(IsaacSimClient& client, ReconnectingStream& stream, int thread, Tally& tally) {
  client.articulation.remove(armOf(thread));
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < end) {
    const bool frame = stream.receiveFor(100ms).has_value();
    if (frame && stream.stats().reconnections == 1) return;
  }
  tally.fail(thread, "no sample after the stream was to reopen");
}

void drive(IsaacSimClient& client, int thread, Tally& tally) {
  try {
    ReconnectOptions options;
    options.policy = ReconnectPolicy(10ms, 100ms);
    options.beforeReopen = [&client, thread](const ReopenAttempt& attempt) {
      if (attempt.lastHttpStatus == 404) client.articulation.create(armOf(thread));
    };
    ReconnectingStream stream(client, ArticulationStream::jointPositions, armOf(thread), options);
    for (int index = 0; index < kRequestsPerThread; index += 4) round(client, thread, index, tally);
    if (!stream.receiveFor(10s)) tally.fail(thread, "no sample on its stream");
    reconnectAfterRemoval(client, stream, thread, tally);
  } catch (const std::exception& e) {
    tally.fail(thread, e.what());
  }
}

void eightThreadsShare(IsaacSimClient& client) {
  for (int thread = 0; thread < kThreads; ++thread) client.articulation.create(armOf(thread));
  client.surfaceGripper.create("/World/gripper");

  Tally tally;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&client, thread, &tally] { drive(client, thread, tally); });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(tally.succeeded.load(), kThreads * kRequestsPerThread);
  EXPECT_TRUE(tally.failures.empty()) << tally.failures.size() << " failures, the first: " << tally.failures.front();
}

TEST(Concurrency, EightThreadsShareOneClient) {
  SimBridge bridge;
  eightThreadsShare(bridge.client());
}

TEST(Concurrency, EightThreadsShareOneClientThatReusesConnections) {
  SimBridge bridge;
  ClientOptions options;
  options.reuseConnections = true;
  IsaacSimClient client("sim-test", bridge.server().httpUrl(), bridge.server().wsUrl(), 10s, 0, options);
  eightThreadsShare(client);
  EXPECT_LE(bridge.server().openConnections(), 2 * kThreads) << "kept connections, at most a few per lane";
}

}  // namespace
}  // namespace corvane
