// Each error type through a real failure: its type, its details, and the message callers already match.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include "client/access.hpp"
#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::caught;
using testing::Reply;
using testing::TestBridge;
using testing::UpgradeAnswer;

std::string curlText(const std::string& prefix, CURLcode code) { return prefix + curl_easy_strerror(code); }

TEST(Errors, TransportErrorsTellTheirKindAndAttempts) {
  const std::string closed = "http://127.0.0.1:" + std::to_string(TestBridge::closedPort());
  IsaacSimClient refusedOnce("t", closed, "ws://unused", 5000ms, 1);
  const auto refused = caught<TransportError>([&] { (void)refusedOnce.get("/x"); });
  EXPECT_STREQ(refused.what(), curlText("HTTP request failed: ", CURLE_COULDNT_CONNECT).c_str());
  EXPECT_EQ(refused.code(), CURLE_COULDNT_CONNECT);
  EXPECT_EQ(refused.kind(), TransportErrorKind::connectionRefused);
  EXPECT_EQ(refused.attempts(), 2);

  TestBridge bridge;
  bridge.setFallback(Reply::delayed(2s, Reply::json(200, "{}")));
  IsaacSimClient slow("t", bridge.baseUrl(), "ws://unused", 100ms, 0);
  const auto timedOut = caught<TransportError>([&] { (void)slow.get("/x"); });
  EXPECT_EQ(timedOut.kind(), TransportErrorKind::timeout);
  EXPECT_STREQ(toString(timedOut.kind()), "timeout");
  const auto malformed = caught<TransportError>([&] { (void)slow.get("/a b"); });
  EXPECT_EQ(malformed.kind(), TransportErrorKind::malformedUrl);
  EXPECT_STREQ(malformed.what(), curlText("HTTP request failed: ", CURLE_URL_MALFORMAT).c_str());
}

TEST(Errors, HandshakeErrorsCarryTheUrlAndTheBridgesAnswer) {
  TestBridge bridge;
  bridge.setUpgradeAnswer(UpgradeAnswer::refuse);
  IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  const auto rejected = caught<HandshakeError>([&] { (void)client.openJointPositionStream("/World/arm"); });
  const std::string url = bridge.wsBaseUrl() + "articulations//World/arm/stream_joint_positions";
  EXPECT_EQ(rejected.url(), url);
  EXPECT_STREQ(
      rejected.what(),
      (curlText("WebSocket handshake failed for " + url + ": ", CURLE_HTTP_RETURNED_ERROR) + " (status 404)").c_str());
  EXPECT_EQ(rejected.httpStatus(), 404);
  EXPECT_EQ(rejected.status(), 404);
  EXPECT_EQ(rejected.code(), CURLE_HTTP_RETURNED_ERROR);

  const std::string closed = "ws://127.0.0.1:" + std::to_string(TestBridge::closedPort()) + "/";
  IsaacSimClient nobody("t", "http://unused", closed, 5000ms, 0);
  const auto unanswered = caught<HandshakeError>([&] { (void)detail::Access::openStream(nobody, "s"); });
  EXPECT_EQ(unanswered.httpStatus(), 0);
  EXPECT_EQ(unanswered.kind(), TransportErrorKind::connectionRefused);
}

TEST(Errors, StreamErrorsCarryLibcurlsCodeWhenThereIsOne) {
  TestBridge bridge;
  IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  WebSocketStream stream = detail::Access::openStream(client, "s");
  const auto peer = bridge.webSocket();
  ASSERT_NE(peer, nullptr);
  peer->dropConnection();
  const auto lost = caught<StreamError>([&] {
    for (int i = 0; i < 100; ++i) (void)stream.receiveFor(50ms);
  });
  EXPECT_NE(lost.code(), 0);
  EXPECT_STREQ(lost.what(), curlText("WebSocket receive failed: ", static_cast<CURLcode>(lost.code())).c_str());

  stream.close();
  const auto closed = caught<StreamError>([&] { stream.send("x"); });
  EXPECT_STREQ(closed.what(), "send() called on a closed WebSocketStream");
  EXPECT_EQ(closed.code(), 0);
}

TEST(Errors, FrameErrorsNameWhatIsWrongWithTheFrame) {
  TestBridge bridge;
  bridge.setFallback(Reply::json(200, "{\"not\":\"a frame\"}"));
  IsaacSimClient client("t", bridge.baseUrl(), "ws://unused", 5000ms, 0);
  const auto notAFrame = caught<FrameError>([&] { (void)client.camera.capture("/World/Camera"); });
  EXPECT_EQ(notAFrame.kind(), FrameErrorKind::notAFrame);
  EXPECT_STREQ(notAFrame.what(), "camera response is not a binary frame: expected it to start with \"CVB1\"");

  HttpResponse reply;
  reply.status = 200;
  reply.body = std::string("CVB1\x05\0\0\0{}", 10);
  EXPECT_EQ(caught<FrameError>([&] { (void)detail::decodeFrame(reply); }).kind(), FrameErrorKind::truncatedManifest);
  const std::string manifest = R"({"arrays":[{"shape":[],"dtype":"uint8","offset":0,"nbytes":2}],"structure":{}})";
  reply.body = "CVB1" + std::string(1, static_cast<char>(manifest.size())) + std::string(3, '\0') + manifest + "x";
  const auto outside = caught<FrameError>([&] { (void)detail::decodeFrame(reply); });
  EXPECT_EQ(outside.kind(), FrameErrorKind::outputOutOfBounds);
  EXPECT_STREQ(outside.what(), "camera frame is truncated: an output claims bytes past the end of the body");
}

TEST(Errors, SetupErrorsAreTheLibrarysOwnAndSendNothing) {
  TestBridge bridge;
  IsaacSimClient client("t", bridge.baseUrl(), "ws://unused", 5000ms, 3);
  // libcurl refuses option strings above 8 MB: the URL option itself fails.
  const auto refused = caught<SetupError>([&] { (void)client.get(std::string(9'000'000, 'a')); });
  EXPECT_STREQ(refused.what(), curlText("curl_easy_setopt failed: ", CURLE_BAD_FUNCTION_ARGUMENT).c_str());
  EXPECT_EQ(refused.code(), CURLE_BAD_FUNCTION_ARGUMENT);
  EXPECT_EQ(bridge.requestCount(), 0u);
}

}  // namespace
}  // namespace corvane
