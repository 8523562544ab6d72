// A misbehaving bridge: torn bodies, connections reset mid-body, stalls past the timeout, replies that are
// not HTTP. Each must end in a libcurl error after the retries, never a crash, a hang, a success or a
// connection left open.
#include <curl/curl.h>

#include <functional>

#include <gtest/gtest.h>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "open_files.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::caught;
using testing::Reply;
using testing::TestBridge;

std::string failure(CURLcode code) { return std::string("HTTP request failed: ") + curl_easy_strerror(code); }

TEST(HttpFaults, BodyCutHalfWayIsRetriedThenReported) {
  TestBridge bridge;
  bridge.setFallback(Reply::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"joints\":[0.1,"));
  IsaacSimClient client("t", bridge.baseUrl(), "ws://x", 2000ms, 1);
  EXPECT_THROW_MSG(client.get("/articulations//World/arm/joints_state"), std::runtime_error,
                   failure(CURLE_PARTIAL_FILE));
  EXPECT_EQ(bridge.requestCount(), 2u);
}

TEST(HttpFaults, ResetHalfWayThroughTheBodyIsRetriedThenReported) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n";
  const std::string half = head + "{\"joints\":[" + std::string(480, '0') + ",";
  {
    TestBridge warmUp;  // libcurl's one-time set-up may keep descriptors of its own
    (void)IsaacSimClient("t", warmUp.baseUrl(), "ws://x", 2000ms, 0).get("/");
  }
  const std::size_t filesBefore = testing::openFileCount();
  {
    TestBridge bridge;
    bridge.setFallback(Reply::resetAfter(half));
    IsaacSimClient client("t", bridge.baseUrl(), "ws://x", 2000ms, 2);
    EXPECT_THROW_MSG(client.get("/articulations//World/arm/joints_state"), std::runtime_error,
                     failure(CURLE_RECV_ERROR));
    EXPECT_EQ(bridge.requestCount(), 3u) << "every attempt was made";

    bridge.enqueue(Reply::resetAfter(half));
    bridge.setFallback(Reply::json(200, "{\"joints\":[]}"));
    EXPECT_EQ(client.get("/articulations//World/arm/joints_state").body, "{\"joints\":[]}")
        << "the attempt after a reset starts afresh";
    EXPECT_EQ(bridge.requestCount(), 5u);
  }
  EXPECT_EQ(testing::openFileCount(), filesBefore) << "no connection outlived its attempt";
}

TEST(HttpFaults, StallsEndEachAttemptAtTheTimeout) {
  TestBridge bridge;
  bridge.setFallback(Reply::delayed(10s, Reply::json(200, "{}")));
  IsaacSimClient client("t", bridge.baseUrl(), "ws://x", 300ms, 2);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW_MSG(client.get("/slow"), std::runtime_error, failure(CURLE_OPERATION_TIMEDOUT));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(bridge.requestCount(), 3u);
  // Three attempts of 300 ms and pauses of at most 500 + 1000 ms, with a generous margin.
  EXPECT_GE(elapsed, 3 * 300ms + 375ms + 750ms);
  EXPECT_LE(elapsed, 3 * 300ms + 1500ms + 1500ms);
  // Each attempt ends at the timeout: the next one arrives one timeout plus one pause later.
  const auto requests = bridge.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (std::size_t a = 0; a + 1 < requests.size(); ++a) {
    const auto gap = requests[a + 1].arrival - requests[a].arrival;
    const auto pause = 500ms * (1 << a);
    EXPECT_GE(gap, 300ms + pause * 3 / 4) << "attempt " << a;
    EXPECT_LE(gap, 300ms + pause + 700ms) << "attempt " << a;
  }
}

TEST(HttpFaults, RepliesThatAreNotHttpAreTransportErrors) {
  const char* replies[] = {
      "HTTP/1.1 abc\r\n\r\n",                                         // no status code
      "SSH-2.0-OpenSSH_9.2\r\n",                                      // another protocol
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n",                     // header block never ends
      "HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n{}",               // unreadable length
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",  // broken chunking
      "\x00\x01\x02\x03",
  };
  for (const char* raw : replies) {
    TestBridge bridge;
    bridge.setFallback(Reply::rawBytes(std::string(raw, raw[0] == 0 ? 4 : std::char_traits<char>::length(raw))));
    IsaacSimClient client("t", bridge.baseUrl(), "ws://x", 2000ms, 1);
    const TransportError error = caught<TransportError>([&] { (void)client.get("/x"); });
    EXPECT_EQ(std::string(error.what()).rfind("HTTP request failed: ", 0), 0u) << raw;
    EXPECT_EQ(bridge.requestCount(), 2u) << "retried like any transport error (libcurl may call it an "
                                            "unsupported protocol, as for a URL's scheme): "
                                         << raw;
    EXPECT_NE(error.kind(), TransportErrorKind::malformedUrl) << raw;
  }
}

}  // namespace
}  // namespace corvane
