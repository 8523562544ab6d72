// Failures no real server can provoke: libcurl refusing to make a handle, to take an option, to build a
// header list or to answer a query; allocations failing inside libcurl's callbacks; poll and nanosleep
// failing. The memory lanes (valgrind, ASan) run this binary too, so every path here is also checked for
// leaks.
#include <curl/curl.h>

#include <functional>

#include <gtest/gtest.h>

#include "allocation_probe.hpp"
#include "call_injection.hpp"
#include "client/access.hpp"
#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::CurlInjection;
using testing::curlInjection;
using testing::libcInjection;
using testing::LibcInjection;
using testing::Reply;
using testing::TestBridge;

class FailureInjection : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    curlInjection = CurlInjection{};
    libcInjection() = LibcInjection{};
  }

  IsaacSimClient client(int retries = 0) {
    return IsaacSimClient("t", bridge.baseUrl(), bridge.wsBaseUrl(), 2000ms, retries);
  }

  TestBridge bridge;
};

std::string curlText(const std::string& prefix, CURLcode code) { return prefix + curl_easy_strerror(code); }

const std::string kSetoptFailure = curlText("curl_easy_setopt failed: ", CURLE_OUT_OF_MEMORY);

// ---- the request engine ----

TEST_F(FailureInjection, FailedHandleCreationEndsTheRequestAtOnce) {
  curlInjection.failInitAt = 1;
  IsaacSimClient c = client(3);
  EXPECT_THROW_MSG(c.get("/x"), std::runtime_error, "Failed to initialize libcurl");
  EXPECT_EQ(bridge.requestCount(), 0u);

  reset();
  curlInjection.failInitAt = 2;  // the retry after a 503 cannot get a handle: no further attempts
  bridge.enqueue(Reply::json(503, "{}"), 5);
  EXPECT_THROW_MSG(c.post("/x", "{}"), std::runtime_error, "Failed to initialize libcurl");
  EXPECT_EQ(bridge.requestCount(), 1u);
  EXPECT_EQ(curlInjection.initCalls, 2);
}

TEST_F(FailureInjection, EveryOptionOfEveryVerbCanFailWithoutSending) {
  IsaacSimClient c = client(2);
  for (const char* method : {"GET", "DELETE", "POST", "PUT", "PATCH"}) {
    reset();
    (void)detail::Access::request(c, method, "/x", "{\"a\":1}");  // undisturbed: counts the options this verb sets
    const int options = curlInjection.setoptCalls;
    const std::size_t sent = bridge.requestCount();
    for (int n = 1; n <= options; ++n) {
      reset();
      curlInjection.failSetoptAt = n;
      EXPECT_THROW_MSG(detail::Access::request(c, method, "/x", "{\"a\":1}"), std::runtime_error, kSetoptFailure)
          << method << " option " << n;
    }
    EXPECT_EQ(bridge.requestCount(), sent) << method << ": a request whose option failed is not sent";
  }
  EXPECT_EQ(bridge.requestCount(), 5u) << "only the five undisturbed requests went out";
}

TEST_F(FailureInjection, BodyIsNeverSentWithoutItsContentType) {
  curlInjection.failSlistAt = 1;
  IsaacSimClient c = client(2);
  EXPECT_THROW_MSG(c.post("/x", "{\"a\":1}"), std::runtime_error,
                   "Failed to build the request headers: curl_slist_append failed");
  EXPECT_EQ(bridge.requestCount(), 0u);
  EXPECT_EQ(curlInjection.initCalls, 1) << "not retried";
}

TEST_F(FailureInjection, AnUnreadableStatusIsNeverASuccess) {
  IsaacSimClient c = client(2);
  curlInjection.failGetinfoAt = 1;
  const HttpResponse response = c.get("/x");
  EXPECT_EQ(response.status, 0) << "no status could be read";
  EXPECT_EQ(bridge.requestCount(), 1u) << "status 0 is final";
  EXPECT_THROW((void)detail::parseSuccessOrThrow(response), HTTPError);
}

// An allocation failing inside libcurl's write or header callback must not unwind through libcurl's C
// frames: the callback refuses the data and libcurl ends the transfer with a write error.
TEST_F(FailureInjection, AllocationFailuresInTheCallbacksEndTheTransferCleanly) {
  ASSERT_TRUE(testing::allocation::operatorNewCounted());
  IsaacSimClient c = client(1);
  const std::string bigBody(4u << 20, 'b');
  Reply bigHeader = Reply::json(200, "{}");
  bigHeader.headers.emplace_back("X-Large", std::string(48u << 10, 'h'));
  bridge.enqueue(Reply::json(200, bigBody), 2);
  bridge.enqueue(bigHeader, 2);
  {
    testing::allocation::FailLargeAllocations failing(32u << 10);
    EXPECT_THROW_MSG(c.get("/body"), std::runtime_error, curlText("HTTP request failed: ", CURLE_WRITE_ERROR));
    EXPECT_THROW_MSG(c.get("/header"), std::runtime_error, curlText("HTTP request failed: ", CURLE_WRITE_ERROR));
  }
  EXPECT_EQ(bridge.requestCount(), 4u) << "a write error is retried like any libcurl error";
  bridge.enqueue(Reply::json(200, bigBody));
  bridge.enqueue(bigHeader);
  EXPECT_EQ(c.get("/body").body.size(), bigBody.size()) << "with memory to spare the same replies arrive";
  EXPECT_EQ(c.get("/header").headers.at("X-Large").size(), 48u << 10);
}

TEST_F(FailureInjection, ThePauseResumesAfterSignalsAndEndsOnOtherFailures) {
  IsaacSimClient c = client(1);
  bridge.enqueue(Reply::json(503, "{}"));
  libcInjection().nanosleepFailures = 2;
  libcInjection().nanosleepErrno = EINTR;
  EXPECT_EQ(c.get("/x").status, 200);
  EXPECT_EQ(libcInjection().nanosleepCalls, 3) << "two interrupted sleeps, then the whole remainder";

  libcInjection() = LibcInjection{};
  bridge.enqueue(Reply::json(503, "{}"));
  libcInjection().nanosleepFailures = 1;
  libcInjection().nanosleepErrno = EINVAL;
  EXPECT_EQ(c.get("/x").status, 200) << "the next attempt follows at once";
  EXPECT_EQ(libcInjection().nanosleepCalls, 1);
  EXPECT_EQ(bridge.requestCount(), 4u);
}

// ---- the stream opener ----

TEST_F(FailureInjection, StreamOpenerFailsCleanlyWithoutAHandle) {
  IsaacSimClient c = client(3);
  curlInjection.failInitAt = 1;
  EXPECT_THROW_MSG(c.openJointPositionStream("/World/arm"), std::runtime_error, "Failed to initialize libcurl");
  EXPECT_EQ(curlInjection.initCalls, 1) << "not retried";
  EXPECT_EQ(bridge.requestCount(), 0u);
}

TEST_F(FailureInjection, EveryOptionOfTheStreamOpenerCanFailWithoutConnecting) {
  IsaacSimClient c = client(3);
  WebSocketStream stream = c.openArticulationStateStream("/World/arm");  // undisturbed: counts its options
  EXPECT_TRUE(stream.isOpen());
  const int options = curlInjection.setoptCalls;
  for (int n = 1; n <= options; ++n) {
    reset();
    curlInjection.failSetoptAt = n;
    EXPECT_THROW_MSG(c.openArticulationStateStream("/World/arm"), std::runtime_error, kSetoptFailure) << n;
    EXPECT_EQ(curlInjection.initCalls, 1) << "not retried";
  }
  EXPECT_EQ(bridge.requestCount(), 1u) << "only the undisturbed opener connected";
}

TEST_F(FailureInjection, AnUnreadableHandshakeStatusReleasesTheConnection) {
  IsaacSimClient c = client(0);
  curlInjection.failGetinfoAt = 1;
  EXPECT_THROW_MSG(
      detail::Access::openStream(c, "s"), std::runtime_error,
      curlText("WebSocket handshake failed for " + bridge.wsBaseUrl() + "s: ", curlInjection.getinfoFailure));
  const auto peer = bridge.webSocket();
  ASSERT_NE(peer, nullptr);
  EXPECT_TRUE(peer->waitForEnd()) << "the upgraded connection was released with the handle";
}

// ---- waiting on an open stream ----

TEST_F(FailureInjection, FailedSocketQueriesThrowAndKeepTheStreamOpen) {
  IsaacSimClient c = client(0);
  WebSocketStream stream = detail::Access::openStream(c, "s");
  const auto peer = bridge.webSocket();
  ASSERT_NE(peer, nullptr);
  curlInjection.failGetinfoAt = curlInjection.getinfoCalls + 1;
  EXPECT_THROW_MSG(stream.receiveFor(5s), std::runtime_error,
                   curlText("WebSocket receive failed: ", curlInjection.getinfoFailure));
  curlInjection.noActiveSocket = true;
  EXPECT_THROW_MSG(stream.receiveFor(5s), std::runtime_error, "WebSocket receive failed: the connection has no socket");
  curlInjection.noActiveSocket = false;
  ASSERT_TRUE(stream.isOpen());
  peer->sendText("still open");
  EXPECT_EQ(stream.receiveFor(5s), "still open");
}

TEST_F(FailureInjection, InterruptedWaitsResumeAndOtherPollFailuresThrow) {
  IsaacSimClient c = client(0);
  WebSocketStream stream = detail::Access::openStream(c, "s");
  const auto peer = bridge.webSocket();
  ASSERT_NE(peer, nullptr);
  libcInjection().pollFailures = 3;
  libcInjection().pollErrno = EINTR;
  peer->pause(100ms);
  peer->sendText("after signals");
  EXPECT_EQ(stream.receiveFor(10s), "after signals");
  EXPECT_GE(libcInjection().pollCalls, 4) << "three interrupted waits, then a real one";

  libcInjection().pollFailures = 1;
  libcInjection().pollErrno = ENOMEM;
  EXPECT_THROW_MSG(stream.receiveFor(5s), std::runtime_error, "WebSocket receive failed: poll() failed");
  peer->sendText("later");
  EXPECT_EQ(stream.receiveFor(5s), "later");
}

}  // namespace
}  // namespace corvane
