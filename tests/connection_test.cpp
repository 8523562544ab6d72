// Transport options and fixes against the test bridge: reused connections (and the bridge closing them),
// extra header lines, proxies (the environment's never), paths as written, errors no retry can mend,
// deadlines and the interruption hook.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::caught;
using testing::Reply;
using testing::TestBridge;

IsaacSimClient clientFor(const TestBridge& bridge, ClientOptions options, int retries = 0,
                         std::chrono::milliseconds timeout = 5000ms) {
  return IsaacSimClient("t", bridge.baseUrl(), bridge.wsBaseUrl(), timeout, retries, std::move(options));
}

ClientOptions reusing() {
  ClientOptions options;
  options.reuseConnections = true;
  return options;
}

template <class Call>
std::chrono::milliseconds timed(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(Reuse, CallsCopiesAndBatchesShareConnectionsThatFiveArgumentClientsNeverKeep) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge, reusing());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(client.get("/x").status, 200);
  IsaacSimClient copy(client);
  EXPECT_EQ(copy.post("/y", "{}").status, 200);
  EXPECT_EQ(bridge.connectionCount(), 1u) << "one connection for the calls and the copy's";
  const auto results = client.batch({{"GET", "/a", ""}, {"GET", "/b", ""}});
  EXPECT_EQ(results.at(1).response().status, 200);
  EXPECT_LE(bridge.connectionCount(), 2u) << "the batch took the kept connection";

  TestBridge other;
  IsaacSimClient plain("t", other.baseUrl(), other.wsBaseUrl(), 5000ms, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(plain.get("/x").status, 200);
  EXPECT_EQ(other.connectionCount(), 3u);
}

TEST(Siblings, HaveTheirOwnLimitsAndShareTheOriginalsConnections) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge, reusing(), 0, 5000ms);
  EXPECT_EQ(client.get("/x").status, 200);
  ClientOptions options = client.options();
  options.deadline = 150ms;
  IsaacSimClient hasty = client.withOptions(100ms, 2, options);
  EXPECT_EQ(hasty.label(), "t");
  EXPECT_EQ(hasty.timeout(), 100ms);
  EXPECT_EQ(hasty.get("/y").status, 200);
  EXPECT_EQ(bridge.connectionCount(), 1u) << "the sibling took the original's kept connection";

  bridge.enqueue(Reply::delayed(400ms, Reply::json(200, "{}")));
  const auto error = caught<TransportError>([&] { (void)hasty.get("/slow"); });
  EXPECT_EQ(error.kind(), TransportErrorKind::deadlineExceeded);
  EXPECT_EQ(client.timeout(), 5000ms) << "the original keeps its settings";
  EXPECT_THROW((void)client.withOptions(0ms, 0, client.options()), std::invalid_argument);
}

// No retries: a connection the bridge dropped must never cost the call an attempt, let alone fail it.
TEST(Reuse, ConnectionsTheBridgeClosedAreReplacedWithoutAnError) {
  TestBridge bridge;
  bridge.setKeepAliveIdle(50ms);
  IsaacSimClient client = clientFor(bridge, reusing());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(client.get("/idle").status, 200) << i;
    std::this_thread::sleep_for(150ms);
  }
  EXPECT_EQ(bridge.connectionCount(), 3u) << "each call after an idle close opened a new connection";

  bridge.setKeepAliveIdle(0ms);
  bridge.enqueue(Reply::json(200, "{}"));
  bridge.enqueue(Reply::hangUp());  // the kept connection dies as the next request arrives
  EXPECT_EQ(client.get("/first").status, 200);
  EXPECT_EQ(client.post("/second", "{}").status, 200);
  EXPECT_EQ(bridge.lastRequest().target, "/second");

  std::uint16_t port = 0;
  auto restarted = std::make_unique<TestBridge>();
  port = restarted->port();
  IsaacSimClient survivor("t", restarted->baseUrl(), restarted->wsBaseUrl(), 5000ms, 0, reusing());
  EXPECT_EQ(survivor.get("/before").status, 200);
  restarted.reset();
  restarted = std::make_unique<TestBridge>(port);
  EXPECT_EQ(survivor.get("/after").status, 200) << "the bridge restarted between two calls";
}

TEST(Headers, ExtraLinesGoWithEveryRequestAndHandshake) {
  TestBridge bridge;
  ClientOptions options;
  options.headers = {"Authorization: Bearer abc.def", "X-Trace:\t7"};
  IsaacSimClient client = clientFor(bridge, options);
  (void)client.get("/g");
  (void)client.put("/p", "{}");
  const WebSocketStream stream = client.openJointPositionStream("/World/arm");
  const auto requests = bridge.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) {
    ASSERT_NE(request.header("Authorization"), nullptr) << request.target;
    EXPECT_EQ(*request.header("Authorization"), "Bearer abc.def");
    EXPECT_EQ(*request.header("X-Trace"), "7");
  }
  EXPECT_EQ(*requests[1].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].header("Content-Type"), nullptr);
}

TEST(Headers, LinesThatCouldInjectOrMisframeAreRefused) {
  const char* refused[] = {"X-A: 1\r\nX-Injected: 2",
                           "X-A: 1\n",
                           "X-A: \x01",
                           "NoColon",
                           ": value",
                           "X A: 1",
                           "X-Empty:",
                           "X-Blank:  ",
                           "Content-Length: 5",
                           "host: elsewhere",
                           "Sec-WebSocket-Key: k"};
  for (const char* line : refused) {
    ClientOptions options;
    options.headers = {"X-Fine: yes", line};
    EXPECT_THROW(IsaacSimClient("t", "http://h", "ws://h", 1000ms, 0, options), std::invalid_argument) << line;
  }
  ClientOptions deadline;
  deadline.deadline = 0ms;
  EXPECT_THROW_MSG(IsaacSimClient("t", "http://h", "ws://h", 1000ms, 0, deadline), std::invalid_argument,
                   "deadline must be positive");
  EXPECT_THROW_MSG(IsaacSimClient("t", "", "ws://h", 1000ms, 0, deadline), std::invalid_argument,
                   "base_url must not be empty")
      << "the five basic checks come first";
}

// The environment's proxy variables are never read; the proxy option is the one way to a proxy.
TEST(Proxies, OnlyTheProxyOptionSendsThroughAProxy) {
  TestBridge bridge;
  TestBridge proxy;
  for (const char* name : {"http_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "ws_proxy"}) {
    ::setenv(name, proxy.baseUrl().c_str(), 1);
  }
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  IsaacSimClient plain("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  EXPECT_EQ(plain.get("/direct").status, 200);
  (void)plain.openJointPositionStream("/World/arm");
  for (const char* name : {"http_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "ws_proxy"}) ::unsetenv(name);
  EXPECT_EQ(proxy.requestCount(), 0u);
  EXPECT_EQ(bridge.requestCount(), 2u);

  ClientOptions options;
  options.proxy = proxy.baseUrl();
  IsaacSimClient proxied = clientFor(bridge, options);
  EXPECT_EQ(proxied.get("/via").status, 200);
  EXPECT_EQ(proxy.lastRequest().target, bridge.baseUrl() + "via");
  const std::string authority = "127.0.0.1:" + std::to_string(bridge.port());
  Reply tunnel;  // 200 to CONNECT, then the same connection carries the upgrade
  proxy.setReplyFor(authority, tunnel);
  const WebSocketStream stream = proxied.openJointPositionStream("/World/arm");
  const auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].method, "CONNECT");
  EXPECT_EQ(requests[1].target, authority);
  EXPECT_EQ(requests[2].target, "/articulations//World/arm/stream_joint_positions");
  EXPECT_EQ(bridge.requestCount(), 2u) << "nothing reached the bridge directly";
}

TEST(Paths, DotSegmentsTravelAsWritten) {
  TestBridge bridge;
  IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  client.articulation.remove("/World/tmp/../arm");
  EXPECT_EQ(bridge.lastRequest().target, "/articulations//World/tmp/../arm");
  (void)client.openJointPositionStream("/World/./arm/..");
  EXPECT_EQ(bridge.lastRequest().target, "/articulations//World/./arm/../stream_joint_positions");
}

TEST(PermanentErrors, FailAtOnceWithTheSameMessage) {
  TestBridge bridge;
  IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 5);
  TransportError error("", 0, 0);
  EXPECT_LT(timed([&] { error = caught<TransportError>([&] { (void)client.get("/World/a b"); }); }), 300ms);
  EXPECT_STREQ(error.what(), (std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_URL_MALFORMAT)).c_str());
  EXPECT_EQ(error.attempts(), 1);
  EXPECT_EQ(bridge.requestCount(), 0u);
}

// REST calls speak http and https, streams ws and wss: a local file or another protocol is never reached.
TEST(PermanentErrors, OtherSchemesAreRefusedByName) {
  const std::string unsupported = std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL);
  for (const char* scheme : {"file", "ftp", "nosuch", "ws"}) {
    IsaacSimClient client("t", std::string(scheme) + "://127.0.0.1/etc/", "ws://h", 5000ms, 5);
    TransportError error("", 0, 0);
    EXPECT_LT(timed([&] { error = caught<TransportError>([&] { (void)client.get("hostname"); }); }), 300ms);
    EXPECT_EQ(error.what(), unsupported + ": " + scheme + " (REST calls use http and https only)");
    EXPECT_EQ(error.kind(), TransportErrorKind::malformedUrl);
    EXPECT_EQ(error.attempts(), 1);
  }
  TestBridge bridge;
  IsaacSimClient httpStreams("t", bridge.baseUrl(), bridge.baseUrl(), 5000ms, 0);
  EXPECT_EQ(caught<HandshakeError>([&] { (void)httpStreams.openJointPositionStream("/World/arm"); }).code(),
            CURLE_UNSUPPORTED_PROTOCOL);
  EXPECT_EQ(bridge.requestCount(), 0u);
}

TEST(Deadline, EndsACallWithItsLastOutcomeBeforeTheDeadlinePasses) {
  TestBridge bridge;
  bridge.setReplyFor("/stall", Reply::delayed(10s, Reply::json(200, "{}")));
  bridge.setReplyFor("/busy", Reply::json(503, "{\"busy\":1}"));
  ClientOptions options;
  options.deadline = 1000ms;
  IsaacSimClient client = clientFor(bridge, options, 5, 400ms);
  TransportError error("", 0, 0);
  const auto stalled = timed([&] { error = caught<TransportError>([&] { (void)client.get("/stall"); }); });
  EXPECT_EQ(error.kind(), TransportErrorKind::deadlineExceeded);
  EXPECT_EQ(error.code(), CURLE_OPERATION_TIMEDOUT);
  EXPECT_STREQ(toString(error.kind()), "deadlineExceeded");
  EXPECT_GE(stalled, 900ms);
  EXPECT_LE(stalled, 2000ms);  // the deadline plus a generous bound for a loaded machine

  HttpResponse busy;
  EXPECT_LE(timed([&] { busy = client.get("/busy"); }), 1000ms);
  EXPECT_EQ(busy.status, 503) << "the response of the last attempt that fitted";
  EXPECT_EQ(busy.body, "{\"busy\":1}");

  options.deadline = std::chrono::milliseconds::max();  // "no real bound" must not wrap into the past
  EXPECT_EQ(clientFor(bridge, options, 0, 400ms).get("/x").status, 200);
}

// A body arrives into one buffer sized from its Content-Length (growing by doubling would leave 4 MiB of
// room for 3 MB); a length no one will send is not taken at its word.
TEST(Replies, BodiesAreSizedFromTheirAnnouncedLength) {
  TestBridge bridge;
  const std::string body(3'000'000, 'b');
  bridge.setReplyFor("/large", Reply::json(200, body));
  bridge.setReplyFor("/lying", Reply::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 536870912\r\n\r\n{}"));
  bridge.setReplyFor("/huge", Reply::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 4611686018427387904\r\n\r\n{}"));
  IsaacSimClient client("t", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  const HttpResponse large = client.get("/large");
  EXPECT_EQ(large.body, body);
  EXPECT_EQ(large.body.capacity(), body.size());
  EXPECT_EQ(caught<TransportError>([&] { (void)client.get("/lying"); }).code(), CURLE_PARTIAL_FILE);
  const TransportError huge = caught<TransportError>([&] { (void)client.get("/huge"); });
  EXPECT_EQ(huge.code(), CURLE_FILESIZE_EXCEEDED) << "announced past the reply cap";
  EXPECT_EQ(huge.kind(), TransportErrorKind::replyTooLarge);
}

TEST(Interruption, HookEndsARetrySeriesPromptly) {
  TestBridge bridge;
  bridge.setFallback(Reply::json(503, "{}"));
  int calls = 0;
  ClientOptions options;
  options.interrupted = [&calls] { return ++calls >= 4; };
  IsaacSimClient client = clientFor(bridge, options, 5);  // about 15 s of pauses without the hook
  EXPECT_LE(timed([&] { EXPECT_THROW_MSG(client.get("/x"), InterruptedError, "Call interrupted"); }), 1500ms);
  EXPECT_EQ(calls, 4);
  EXPECT_THROW((void)client.batch({{"GET", "/a", ""}, {"GET", "/b", ""}}), InterruptedError) << "a batch ends whole";
}

}  // namespace
}  // namespace corvane
