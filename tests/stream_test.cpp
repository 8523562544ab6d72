// WebSocket streams against the test bridge: opening (URLs, failures, no retry), receiving frames whole,
// in pieces and around control frames, sending, closing and moving, the waiting receiveFor, the bridge's
// close, receiveLatest and sendFor.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <time.h>

#include <thread>

#include "client/access.hpp"
#include "connected_stream.hpp"
#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "stream_polling.hpp"
#include "test_bridge.hpp"
#include "websocket_frame.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ConnectedStream;
using testing::patterned;
using testing::Polled;
using testing::pollForFrame;
using testing::TestBridge;
using testing::textFrame;
using testing::UpgradeAnswer;

IsaacSimClient clientFor(const TestBridge& bridge, int retries = 0, std::chrono::milliseconds timeout = 5000ms) {
  return IsaacSimClient("test", bridge.baseUrl(), bridge.wsBaseUrl(), timeout, retries);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(StreamOpening, UrlIsTheWebSocketBaseFollowedByThePathByteForByte) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge);
  WebSocketStream state = client.openArticulationStateStream("/World/robot");
  WebSocketStream joints = client.openJointPositionStream("/World/robot");
  WebSocketStream empty = client.openJointPositionStream("");
  WebSocketStream raw = detail::Access::openStream(client, "/lead");  // no leading slash is stripped here
  WebSocketStream hashed = client.openJointPositionStream("/W/a#1");  // kept whole, not cut as a fragment
  const char* expected[] = {
      "/articulations//World/robot/stream_articulation_state", "/articulations//World/robot/stream_joint_positions",
      "/articulations//stream_joint_positions", "//lead", "/articulations//W/a%231/stream_joint_positions"};
  for (std::size_t i = 0; i < 5; ++i) {
    const auto peer = bridge.webSocket(i);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->target(), expected[i]);
  }
  EXPECT_TRUE(state.isOpen() && joints.isOpen() && empty.isOpen() && raw.isOpen());
}

TEST(StreamOpening, FailedHandshakesNameTheUrlAndAreNotRetried) {
  const std::string closedBase = "ws://127.0.0.1:" + std::to_string(TestBridge::closedPort());
  IsaacSimClient refused("test", "http://unused", closedBase, 5000ms, 3);
  EXPECT_THROW_MSG(
      refused.openJointPositionStream("/World/arm"), std::runtime_error,
      "WebSocket handshake failed for " + closedBase +
          "/articulations//World/arm/stream_joint_positions: " + curl_easy_strerror(CURLE_COULDNT_CONNECT));

  const struct {
    UpgradeAnswer answer;
    CURLcode code;
    const char* status;
  } cases[] = {{UpgradeAnswer::refuse, CURLE_HTTP_RETURNED_ERROR, " (status 404)"},
               {UpgradeAnswer::hangUp, CURLE_GOT_NOTHING, ""}};
  for (const auto& c : cases) {
    TestBridge bridge;
    bridge.setUpgradeAnswer(c.answer);
    IsaacSimClient client = clientFor(bridge, 3);
    EXPECT_THROW_MSG(client.openArticulationStateStream("/World/arm"), std::runtime_error,
                     "WebSocket handshake failed for " + bridge.wsBaseUrl() +
                         "articulations//World/arm/stream_articulation_state: " + curl_easy_strerror(c.code) +
                         c.status);
    EXPECT_EQ(bridge.requestCount(), 1u) << "one handshake, whatever max_retries says";
  }
}

// A reply that is no upgrade (as to an http:// WebSocket base URL) is never written to stdout.
TEST(StreamOpening, AReplyThatIsNoUpgradeIsWrittenNowhere) {
  TestBridge bridge;
  bridge.setFallback(testing::Reply::json(200, patterned(5000)));
  IsaacSimClient http("test", bridge.baseUrl(), bridge.baseUrl(), 5000ms, 0);
  ::testing::internal::CaptureStdout();
  EXPECT_THROW((void)detail::Access::openStream(http, "x"), std::runtime_error);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(StreamOpening, TheClientTimeoutLimitsTheHandshakeOnly) {
  TestBridge bridge;
  bridge.setUpgradeAnswer(UpgradeAnswer::stall);
  IsaacSimClient slow = clientFor(bridge, 0, 200ms);
  EXPECT_THROW_MSG(
      detail::Access::openStream(slow, "x"), std::runtime_error,
      "WebSocket handshake failed for " + bridge.wsBaseUrl() + "x: " + curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));

  bridge.setUpgradeAnswer(UpgradeAnswer::accept);
  WebSocketStream stream = detail::Access::openStream(slow, "x");
  const auto peer = bridge.webSocket();
  ASSERT_NE(peer, nullptr);
  std::this_thread::sleep_for(400ms);  // well past the 200 ms: an open stream must not expire
  stream.send("still here");
  peer->sendText("and here");
  EXPECT_EQ(pollForFrame(stream).frame, "and here");
  EXPECT_EQ(peer->waitForTextMessages(1), std::vector<std::string>{"still here"});
}

TEST(StreamReceive, NothingWaitingGivesAnEmptyResultAtOnce) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.stream.receive(), std::nullopt);
  EXPECT_EQ(c.stream.receive(), std::nullopt);
  EXPECT_LT(secondsSince(start), 1.0);
}

TEST(StreamReceive, EachFrameComesBackWholeAndInOrder) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  const std::string large = patterned(10000);
  const std::string binary("\0\x01\xff\x7f", 4);
  c.peer->sendText("hello");
  c.peer->sendText("");
  c.peer->sendBinary(binary);
  c.peer->sendBinary("");
  c.peer->sendText(large);
  for (const std::string& expected : {std::string("hello"), std::string(), binary, std::string(), large}) {
    const Polled polled = pollForFrame(c.stream);
    ASSERT_TRUE(polled.frame.has_value()) << "expected a frame of " << expected.size() << " bytes";
    EXPECT_EQ(*polled.frame, expected);
  }
  EXPECT_EQ(c.stream.receive(), std::nullopt);
}

TEST(StreamReceive, TrickledFramesAreJoinedAcrossCalls) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  const std::string large = patterned(10000);
  c.peer->sendRaw(textFrame(large), 997, 15ms);
  Polled polled = pollForFrame(c.stream);
  ASSERT_TRUE(polled.frame.has_value());
  EXPECT_EQ(*polled.frame, large);
  EXPECT_GT(polled.emptyPolls, 0) << "the early calls find only part of the frame";

  c.peer->sendRaw(textFrame("tiny") + textFrame("next"), 1, 5ms);
  polled = pollForFrame(c.stream);
  EXPECT_EQ(polled.frame, "tiny");
  EXPECT_GT(polled.emptyPolls, 0);
  EXPECT_EQ(pollForFrame(c.stream).frame, "next");
}

TEST(StreamReceive, APartlyReceivedFrameMovesWithTheStream) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  const std::string payload = patterned(6000);
  const std::string frame = textFrame(payload);
  c.peer->sendRaw(frame.substr(0, 3000), frame.size(), 0ms);
  ASSERT_TRUE(c.peer->flush());
  for (int i = 0; i < 20; ++i) {  // take in the first half
    ASSERT_EQ(c.stream.receive(), std::nullopt);
    std::this_thread::sleep_for(2ms);
  }
  WebSocketStream moved(std::move(c.stream));
  c.peer->sendRaw(frame.substr(3000), frame.size(), 0ms);
  EXPECT_EQ(pollForFrame(moved).frame, payload);
  EXPECT_FALSE(c.stream.isOpen());
}

TEST(StreamReceive, FragmentsComeBackPerFrameAndPingsBetweenThemAreSkipped) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  c.peer->sendFragmented({"ab", "cd", "ef"}, true);
  for (const char* expected : {"ab", "cd", "ef"}) EXPECT_EQ(pollForFrame(c.stream).frame, expected);
  ASSERT_TRUE(c.peer->flush());
  EXPECT_EQ(c.stream.receive(), std::nullopt) << "a ping yields no result";
  EXPECT_TRUE(c.peer->waitForPongs(2)) << "libcurl answers pings by itself";
}

TEST(StreamReceive, ACloseFrameFromTheBridgeEndsReceivingWithAnError) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  c.peer->sendText("last");
  c.peer->sendClose();
  EXPECT_EQ(pollForFrame(c.stream).frame, "last");
  // The bridge hangs up only once its close frame is answered; libcurl then reports the hang-up.
  int frames = 0;
  EXPECT_EQ(testing::pollForError(c.stream, frames), std::string("WebSocket receive failed: ") +
                                                         curl_easy_strerror(CURLE_GOT_NOTHING) +
                                                         " after the bridge closed the stream (1000)");
  EXPECT_EQ(frames, 0) << "the close frame is no result";
  EXPECT_TRUE(c.stream.isOpen()) << "an error does not close the stream";
  c.stream.close();
  EXPECT_FALSE(c.stream.isOpen());
  EXPECT_TRUE(c.peer->waitForCloseFrames(1));
}

TEST(StreamSend, TextMessagesArriveWholeAndInOrder) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  const std::string big = patterned(1 << 20);
  c.stream.send("first");
  c.stream.send("");
  c.stream.send("gr\xc3\xbc\xc3\x9f");
  c.stream.send(big);
  c.stream.send(std::string_view());
  const auto messages = c.peer->waitForTextMessages(5);
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], "first");
  EXPECT_EQ(messages[1], "");
  EXPECT_EQ(messages[2], "gr\xc3\xbc\xc3\x9f");
  EXPECT_TRUE(messages[3] == big) << "the 1 MiB message arrived with " << messages[3].size() << " bytes";
  EXPECT_EQ(messages[4], "");
  EXPECT_EQ(c.peer->binaryMessages(), 0);
}

TEST(StreamLifecycle, CloseSendsOneCloseFrameAndLeavesAClosedStream) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  c.stream.close();
  c.stream.close();
  EXPECT_FALSE(c.stream.isOpen());
  EXPECT_TRUE(c.peer->waitForCloseFrames(1));
  EXPECT_TRUE(c.peer->waitForEnd());
  EXPECT_EQ(c.peer->closeFrames(), 1);
  EXPECT_EQ(c.peer->closePayload(), "") << "an empty close frame";
  EXPECT_THROW_MSG(c.stream.send("x"), std::runtime_error, "send() called on a closed WebSocketStream");
  EXPECT_THROW_MSG(c.stream.receive(), std::runtime_error, "receive() called on a closed WebSocketStream");
  EXPECT_THROW_MSG(c.stream.receiveFor(10ms), std::runtime_error, "receive() called on a closed WebSocketStream");
}

TEST(StreamLifecycle, DestroyingAnOpenStreamClosesIt) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge);
  { WebSocketStream stream = client.openJointPositionStream("/a"); }
  const auto peer = bridge.webSocket();
  ASSERT_NE(peer, nullptr);
  EXPECT_TRUE(peer->waitForCloseFrames(1));
  EXPECT_TRUE(peer->waitForEnd());
}

TEST(StreamLifecycle, MovingHandsTheConnectionOverAndClosesTheTargetFirst) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge);
  WebSocketStream first = client.openJointPositionStream("/a");
  WebSocketStream second = client.openJointPositionStream("/b");
  const auto firstPeer = bridge.webSocket(0);
  const auto secondPeer = bridge.webSocket(1);
  ASSERT_NE(firstPeer, nullptr);
  ASSERT_NE(secondPeer, nullptr);

  first = std::move(second);
  EXPECT_TRUE(firstPeer->waitForCloseFrames(1)) << "the target's own connection is closed";
  EXPECT_FALSE(second.isOpen());
  EXPECT_THROW_MSG(second.send("x"), std::runtime_error, "send() called on a closed WebSocketStream");
  first.send("to b");
  EXPECT_EQ(secondPeer->waitForTextMessages(1), std::vector<std::string>{"to b"});

  WebSocketStream& alias = first;
  first = std::move(alias);  // self-move keeps the connection
  WebSocketStream third(std::move(first));
  EXPECT_FALSE(first.isOpen());
  third.send("still b");
  EXPECT_EQ(secondPeer->waitForTextMessages(2).back(), "still b");
  EXPECT_EQ(secondPeer->closeFrames(), 0);
  first = std::move(third);  // onto a closed stream: nothing to close
  first.send("back");
  EXPECT_EQ(secondPeer->waitForTextMessages(3).back(), "back");
  EXPECT_EQ(secondPeer->closeFrames(), 0);
}

TEST(StreamReceiveFor, WithNothingComingItGivesUpAfterAboutTheTimeout) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.stream.receiveFor(300ms), std::nullopt);
  const double waited = secondsSince(start);
  EXPECT_GE(waited, 0.3);
  EXPECT_LT(waited, 2.3);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.stream.receiveFor(0ms), std::nullopt);
  EXPECT_EQ(c.stream.receiveFor(-5ms), std::nullopt);
  EXPECT_EQ(c.stream.receiveFor(std::chrono::milliseconds::min()), std::nullopt);
  EXPECT_LT(secondsSince(start), 1.0);
}

TEST(StreamReceiveFor, AFrameSentDuringTheWaitReturnsPromptly) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  c.peer->pause(200ms);
  c.peer->sendPing();  // wakes the wait without giving a frame
  c.peer->pause(100ms);
  c.peer->sendRaw(textFrame("late frame"), 3, 10ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.stream.receiveFor(30s), "late frame");
  EXPECT_LT(secondsSince(start), 10.0);
  c.peer->sendText("forever");
  EXPECT_EQ(c.stream.receiveFor(std::chrono::milliseconds::max()), "forever");
}

TEST(StreamReceiveFor, FramesAlreadyBufferedComeBackWithoutWaiting) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  const std::string both = textFrame("one") + textFrame("two");
  c.peer->sendRaw(both, both.size(), 0ms);  // one write: one TCP segment
  EXPECT_EQ(c.stream.receiveFor(10s), "one");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.stream.receiveFor(10s), "two");
  EXPECT_LT(secondsSince(start), 5.0) << "the second frame was already in libcurl's buffer";
}

TEST(StreamBridgeClose, IsRecordedEndsTheWaitAndNothingFollowsIt) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  c.peer->sendText("last");
  c.peer->sendClose();
  EXPECT_EQ(c.stream.receiveFor(5s), "last");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.stream.receiveFor(30s), std::nullopt);
  EXPECT_LT(secondsSince(start), 10.0) << "the close frame ends the wait";
  EXPECT_TRUE(c.stream.closedByBridge());
  EXPECT_EQ(c.stream.closeCode(), 1000);
  EXPECT_TRUE(c.stream.isOpen()) << "the handle is still held";
  EXPECT_THROW_MSG(c.stream.send("after"), StreamError,
                   "send() called after the bridge closed the WebSocketStream (1000)");
  EXPECT_THROW_MSG(c.stream.sendFor("after", 1s), StreamError,
                   "send() called after the bridge closed the WebSocketStream (1000)");
  c.stream.close();
  EXPECT_TRUE(c.peer->waitForEnd());
  EXPECT_EQ(c.peer->closeFrames(), 1) << "one answer to the bridge's close, none from close()";
  EXPECT_TRUE(c.peer->textMessages().empty());
}

TEST(StreamReceiveLatest, TakesEveryWaitingFrameAndReturnsTheNewest) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  std::size_t bytes = 0;
  for (int i = 0; i < 100; ++i) {
    c.peer->sendText("frame " + std::to_string(i));
    bytes += ("frame " + std::to_string(i)).size();
  }
  ASSERT_TRUE(c.peer->flush());
  std::this_thread::sleep_for(100ms);  // all of it in the client's socket
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(c.stream.receiveLatest(), "frame 99");
  EXPECT_EQ(c.stream.receiveLatest(), std::nullopt);
  const StreamStats stats = c.stream.stats();
  EXPECT_EQ(stats.framesReceived, 100u);
  EXPECT_EQ(stats.framesSkipped, 99u);
  EXPECT_EQ(stats.bytesReceived, bytes);
  ASSERT_TRUE(stats.lastFrameAt.has_value());
  EXPECT_GE(*stats.lastFrameAt, before);
}

TEST(StreamReceiveLatest, JoinsTheFragmentsOfAMessage) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  c.peer->sendFragmented({"AAAA", "BBBB"}, false);
  c.peer->sendFragmented({"CCCC", "DDDD"}, true);
  ASSERT_TRUE(c.peer->flush());
  std::this_thread::sleep_for(100ms);  // all of it in the client's socket
  EXPECT_EQ(c.stream.receiveLatest(), "CCCCDDDD");
  EXPECT_EQ(c.stream.stats().framesSkipped, 1u) << "one whole message skipped";
}

TEST(StreamSend, TextThatIsNotUtf8IsRefusedBeforeAnythingIsSent) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  // A stray continuation byte, a truncated sequence, an overlong '/', a surrogate, a code point past U+10FFFF.
  for (const char* bad : {"a\x80", "\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    EXPECT_THROW(c.stream.send(bad), std::invalid_argument) << bad;
    EXPECT_THROW((void)c.stream.sendFor(bad, 1s), std::invalid_argument) << bad;
  }
  const std::string good = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\xa4\x96";  // é, €, a robot face
  c.stream.send(good);
  EXPECT_EQ(c.peer->waitForTextMessages(1), std::vector<std::string>{good}) << "only the valid text went out";
}

std::chrono::nanoseconds threadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TEST(StreamSendFor, GivesUpAtItsDeadlineWithoutSpinningAndATornMessageEndsSending) {
  TestBridge bridge;
  bridge.setWebSocketReadDelay(std::chrono::hours(1));  // the bridge reads nothing
  IsaacSimClient client = clientFor(bridge);
  WebSocketStream stream = client.openJointPositionStream("/World/arm");
  const std::string small(100, 's');
  int sent = 0;
  while (stream.sendFor(small, 0ms) && sent < 1000000) ++sent;  // until the socket buffers are full
  ASSERT_GT(sent, 0);
  ASSERT_FALSE(stream.sendTorn()) << "a small message is taken whole or not begun";

  // The kernel still frees a little room now and then (window probes): the wait that ends in false is
  // the one measured.
  std::chrono::nanoseconds cpu{}, wall{};
  for (const auto giveUp = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < giveUp;) {
    const auto cpuBefore = threadCpuTime();
    const auto start = std::chrono::steady_clock::now();
    const bool taken = stream.sendFor(small, 500ms);
    wall = std::chrono::steady_clock::now() - start;
    cpu = threadCpuTime() - cpuBefore;
    if (!taken) break;
  }
  EXPECT_GE(wall, 499ms);
  EXPECT_LT(wall, 5s);
  EXPECT_LE(cpu * 20, wall) << "at most 5% of a core while waiting: " << cpu.count() << " ns CPU";
  EXPECT_FALSE(stream.sendTorn()) << "nothing begun: the stream can still send";

  WebSocketStream fresh = client.openJointPositionStream("/World/arm");
  EXPECT_FALSE(fresh.sendFor(std::string(64u << 20, 'b'), 200ms));
  EXPECT_TRUE(fresh.sendTorn());
  const std::string torn = "send() called after sendFor() gave up in the middle of a message";
  EXPECT_THROW_MSG(fresh.send("x"), StreamError, torn);
  EXPECT_THROW_MSG(fresh.sendFor("x", 1s), StreamError, torn);
}

}  // namespace
}  // namespace corvane
