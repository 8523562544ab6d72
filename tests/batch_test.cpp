// Batches and captureAll against the test bridge: every entry's own outcome in order, whatever the others
// meet (a failure, a stall, a reset), and entries that wait (on the bridge, in a pause) at the same time.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include "corvane/corvane.hpp"
#include "frame_writer.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::Reply;
using testing::TestBridge;

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

int curlCodeOf(const BatchResult& result) {
  try {
    (void)result.response();
  } catch (const TransportError& error) {
    return error.code();
  }
  return -1;
}

TEST(Batch, EachEntryReportsItsOwnOutcomeInOrder) {
  EXPECT_THROW((void)BatchResult(std::exception_ptr{}), std::invalid_argument) << "neither a response nor an error";
  TestBridge bridge;
  bridge.setReplyFor("/ok", Reply::json(200, "{\"ok\":1}"));
  bridge.setReplyFor("/missing", Reply::json(404, "{}"));
  bridge.setReplyFor("/stall", Reply::delayed(10s, Reply::json(200, "{}")));
  bridge.setReplyFor("/reset", Reply::resetAfter("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"cut"));
  for (const bool reuse : {false, true}) {
    ClientOptions options;
    options.reuseConnections = reuse;
    IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 500ms, 0, options);
    const std::vector<BatchResult> results = client.batch({{"GET", "/stall", ""},
                                                           {"POST", "/ok", "{\"a\":1}"},
                                                           {"GET", "/missing", ""},
                                                           {"GET", "/a b", ""},
                                                           {"HEAD", "/ok", ""},
                                                           {"DELETE", "/reset", ""}});
    ASSERT_EQ(results.size(), 6u);
    EXPECT_EQ(curlCodeOf(results[0]), CURLE_OPERATION_TIMEDOUT) << reuse;
    EXPECT_EQ(results[1].response().body, "{\"ok\":1}");
    EXPECT_EQ(results[2].response().status, 404) << "a status is a response, not an error";
    EXPECT_EQ(curlCodeOf(results[3]), CURLE_URL_MALFORMAT);
    EXPECT_FALSE(results[4].ok());
    EXPECT_THROW((void)results[4].response(), std::invalid_argument);
    EXPECT_EQ(curlCodeOf(results[5]), CURLE_RECV_ERROR);
  }
  EXPECT_EQ(bridge.requestCount(), 8u) << "the malformed and unsupported entries sent nothing";
}

// Four replies that take 300 ms each, and one request that needs a retry after a pause of 375..500 ms: done
// together they take about 500 ms, one after another at least 1.5 s.
TEST(Batch, WaitsOverlapAndOnePauseHoldsNoOtherEntryUp) {
  TestBridge bridge;
  bridge.setReplyFor("/slow", Reply::delayed(300ms, Reply::json(200, "{}")));
  bridge.enqueue(Reply::json(503, "{}"));  // only /busy draws from the queue
  IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 1);
  const auto start = std::chrono::steady_clock::now();
  const auto results = client.batch(
      {{"GET", "/busy", ""}, {"GET", "/slow", ""}, {"GET", "/slow", ""}, {"GET", "/slow", ""}, {"GET", "/slow", ""}});
  const auto elapsed = since(start);
  for (const BatchResult& result : results) EXPECT_EQ(result.response().status, 200);
  EXPECT_GE(elapsed, 375ms);
  EXPECT_LT(elapsed, 1200ms);
  EXPECT_EQ(bridge.requestCount(), 6u);
}

std::string frameHolding(std::uint8_t value) {
  frame_writer::FrameWriter writer;
  writer.add("rgb", {1, 1, 1}, "uint8", &value, 1);
  return writer.finish();
}

TEST(CaptureAll, FramesComeInTheOrderOfThePrimPathsAndAFailureIsThrown) {
  TestBridge bridge;
  const std::vector<std::string> cameras = {"/World/c2", "/World/c0", "/World/c1"};
  for (std::uint8_t i = 0; i < 3; ++i) {
    Reply frame;
    frame.body = frameHolding(i);
    bridge.setReplyFor("/cameras//World/c" + std::to_string(i) + "/capture", Reply::delayed(300ms, frame));
  }
  IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  const auto start = std::chrono::steady_clock::now();
  const std::vector<CameraFrame> frames = client.camera.captureAll(cameras, std::vector<std::string>{"rgb"});
  EXPECT_LT(since(start), 800ms) << "the captures ran together";
  ASSERT_EQ(frames.size(), 3u);
  const std::uint8_t expected[] = {2, 0, 1};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i].output("rgb")->as<std::uint8_t>()[0], expected[i]);
  EXPECT_EQ(bridge.lastRequest().body, "{\"data_types\":[\"rgb\"]}");

  bridge.setFallback(Reply::json(404, "{}"));
  EXPECT_THROW((void)client.camera.captureAll({"/World/c0", "/World/gone"}), HTTPError);
}

}  // namespace
}  // namespace corvane
