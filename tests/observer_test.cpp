// The client's observer: REST exchanges (also failed ones and batch entries), stream events and decoded
// frames, seen on the calling thread; an observer's exception passes through.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "sim_bridge.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

struct Log : ClientObserver {
  std::vector<std::string> events;
  std::vector<int> attempts;
  std::vector<std::string> outputs;
  bool throwOnRest = false;

  void onRestExchange(const RestExchange& e) override {
    EXPECT_LE(e.start, e.end);
    EXPECT_EQ(e.response == nullptr, e.error != nullptr);
    const std::string status = e.response ? std::to_string(e.response->status) : "error";
    events.push_back(std::string(e.method) + " " + std::string(e.path) + " " + std::string(e.requestBody) + " -> " +
                     status);
    attempts.push_back(e.attempts);
    if (throwOnRest) throw std::runtime_error("observer says no");
  }
  void onStreamEvent(const StreamEvent& e) override {
    static const char* const kinds[] = {"opened", "sent", "received", "closedByBridge", "closed", "reconnected"};
    events.push_back(std::string("stream ") + kinds[static_cast<int>(e.kind)] +
                     (e.kind == StreamEventKind::sent ? " " + std::string(e.message) : ""));
  }
  void onFrame(const FrameObservation& f) override {
    events.push_back("frame " + std::string(f.cameraPrim));
    for (const auto& o : f.outputs) {
      std::string dims;
      for (auto d : *o.shape) dims += std::to_string(d) + "x";
      outputs.push_back(std::string(o.name) + ":" + dims + std::string(o.dtype) + ":" + std::to_string(o.size));
    }
  }
};

TEST(Observer, SeesExchangesFramesAndStreamsOfTheSimulatedBridge) {
  testing::SimBridge bridge;
  auto log = std::make_shared<Log>();
  IsaacSimClient client = bridge.observedClient(log, "observed");

  (void)client.put("/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  client.camera.create("/World/cam", std::vector<int>{8, 4});
  (void)client.camera.capture("/World/cam");
  (void)client.batch({{"GET", "/nothing/here", ""}});
  {
    WebSocketStream stream = client.openJointPositionStream("/World/arm");
    stream.send(R"({"joint_positions":[0.1],"indices":[0]})");
    ASSERT_TRUE(stream.receiveFor(5s).has_value());
  }
  const std::vector<std::string> expected = {
      R"(PUT /articulations {"prim_path":"/World/arm","urdf_path":null} -> 201)",
      R"(PUT /cameras {"prim_path":"/World/cam","resolution":[8,4]} -> 201)",
      "POST /cameras//World/cam/capture {} -> 200",
      "frame /World/cam",
      "GET /nothing/here  -> 404",
      "stream opened",
      R"(stream sent {"joint_positions":[0.1],"indices":[0]})",
      "stream received",
      "stream closed",
  };
  ASSERT_GE(log->events.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log->events.begin(), log->events.begin() + 7),
            std::vector<std::string>(expected.begin(), expected.begin() + 7));
  EXPECT_EQ(log->events.back(), "stream closed");
  EXPECT_EQ(log->outputs, (std::vector<std::string>{"rgb:4x8x3xuint8:96", "depth:4x8xfloat32:128"}));
  EXPECT_EQ(log->attempts, (std::vector<int>{1, 1, 1, 1}));
}

TEST(Observer, SeesFailuresAndItsExceptionsPassThrough) {
  auto log = std::make_shared<Log>();
  ClientOptions options;
  options.observer = log;
  const std::string url = "http://127.0.0.1:" + std::to_string(testing::TestBridge::closedPort()) + "/";
  IsaacSimClient refused("refused", url, "ws://127.0.0.1:1/", 2s, 1, options);
  EXPECT_THROW((void)refused.get("/x"), TransportError);
  ASSERT_EQ(log->events, (std::vector<std::string>{"GET /x  -> error"}));
  EXPECT_EQ(log->attempts, (std::vector<int>{2}));

  testing::TestBridge bridge;
  log->throwOnRest = true;
  IsaacSimClient client("throwing", bridge.baseUrl(), bridge.wsBaseUrl(), 2s, 0, options);
  EXPECT_THROW_MSG((void)client.get("/y"), std::runtime_error, "observer says no");
}

// Throws for each received message that starts with "bad".
struct RefusesBadMessages : ClientObserver {
  void onStreamEvent(const StreamEvent& e) override {
    if (e.kind == StreamEventKind::received && e.message.substr(0, 3) == "bad") throw std::runtime_error("refused");
  }
};

TEST(Observer, AThrowingStreamObserverConsumesTheMessageAndLeavesTheNextWhole) {
  testing::TestBridge bridge;
  ClientOptions options;
  options.observer = std::make_shared<RefusesBadMessages>();
  IsaacSimClient client("throwing", bridge.baseUrl(), bridge.wsBaseUrl(), 5s, 0, options);
  WebSocketStream stream = client.openJointPositionStream("/World/arm");
  const auto peer = bridge.webSocket();
  ASSERT_TRUE(peer);
  for (const char* text : {"bad-1", "ok-2", "bad-3", "ok-4"}) peer->sendText(text);
  ASSERT_TRUE(peer->flush());

  EXPECT_THROW_MSG((void)stream.receiveFor(5s), std::runtime_error, "refused");
  EXPECT_EQ(stream.receiveFor(5s), "ok-2");
  bool refused = false;
  for (auto until = std::chrono::steady_clock::now() + 5s; !refused && std::chrono::steady_clock::now() < until;) {
    try {
      EXPECT_FALSE(stream.receiveLatest().has_value());
    } catch (const std::runtime_error&) {
      refused = true;
    }
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(stream.receiveFor(5s), "ok-4");
  EXPECT_EQ(stream.stats().framesReceived, 4U);
  EXPECT_EQ(stream.stats().bytesReceived, 18U);
}

}  // namespace
}  // namespace corvane
