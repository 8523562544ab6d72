// The request engine against the test bridge: retries and pauses, transport failures, what goes on the
// wire for each verb, and how response header lines are stored.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include "client/access.hpp"
#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::Reply;
using testing::TestBridge;

IsaacSimClient clientFor(const std::string& base, int retries, std::chrono::milliseconds timeout = 5000ms) {
  return IsaacSimClient("test", base, "ws://unused", timeout, retries);
}

TEST(RequestEngineRetries, RetryableStatusUntilTheLastAttemptReturnsThatResponse) {
  TestBridge bridge;
  Reply busy = Reply::json(503, "{\"busy\":true}");
  busy.headers.emplace_back("X-Attempt", "busy");
  bridge.enqueue(busy, 4);
  bridge.setFallback(Reply::json(200, "{}"));
  IsaacSimClient client = clientFor(bridge.baseUrl(), 3);

  const HttpResponse response = client.get("/articulations");

  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.body, "{\"busy\":true}");
  ASSERT_NE(response.header("x-attempt"), nullptr);
  const auto requests = bridge.requests();
  ASSERT_EQ(requests.size(), 4u);
  const double bases[] = {500, 1000, 2000};
  for (int i = 0; i < 3; ++i) {
    const double gap = std::chrono::duration<double, std::milli>(requests[i + 1].arrival - requests[i].arrival).count();
    EXPECT_GE(gap, 0.75 * bases[i] - 5) << "pause " << i;
    EXPECT_LE(gap, bases[i] + 400) << "pause " << i;  // generous: connection set-up and a busy machine
  }
}

TEST(RequestEngineRetries, FinalStatusesAreReturnedAfterOneAttempt) {
  for (int status : {200, 204, 301, 400, 401, 404, 501}) {
    TestBridge bridge;
    bridge.enqueue(Reply::json(status, ""));
    IsaacSimClient client = clientFor(bridge.baseUrl(), 3);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.get("/x").status, status);
    EXPECT_EQ(bridge.requestCount(), 1u) << status;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 300ms) << "no pause for " << status;
  }
}

class RetryableStatus : public ::testing::TestWithParam<int> {};

TEST_P(RetryableStatus, IsRetriedAndALaterSuccessWins) {
  TestBridge bridge;
  Reply failing = Reply::json(GetParam(), "first");
  failing.headers.emplace_back("X-First", "1");
  bridge.enqueue(failing);
  bridge.enqueue(Reply::json(200, "second"));
  IsaacSimClient client = clientFor(bridge.baseUrl(), 1);

  const HttpResponse response = client.post("/x", "{}");

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "second") << "the earlier attempt's body is discarded";
  EXPECT_EQ(response.header("X-First"), nullptr) << "the earlier attempt's headers are discarded";
  EXPECT_EQ(bridge.requestCount(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, RetryableStatus, ::testing::Values(408, 409, 429, 500, 502, 503, 504, 599));

TEST(RequestEngineFailures, RefusedConnectionIsRetriedThenReported) {
  IsaacSimClient client = clientFor("http://127.0.0.1:" + std::to_string(TestBridge::closedPort()), 1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW_MSG(client.get("/x"), std::runtime_error,
                   std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_COULDNT_CONNECT));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 370ms) << "one pause between the two attempts";
}

TEST(RequestEngineFailures, TimeoutAndHangUpAreTransportErrors) {
  TestBridge bridge;
  bridge.enqueue(Reply::delayed(3000ms, Reply::json(200, "{}")));
  bridge.enqueue(Reply::hangUp());
  IsaacSimClient client = clientFor(bridge.baseUrl(), 0, 200ms);
  EXPECT_THROW_MSG(client.get("/slow"), std::runtime_error,
                   std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
  EXPECT_THROW_MSG(client.get("/gone"), std::runtime_error,
                   std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_GOT_NOTHING));
}

TEST(RequestEngineFailures, UnsupportedMethodsAreRejectedBeforeSending) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge.baseUrl(), 3);
  for (const char* method : {"get", "HEAD", "", "POST "}) {
    EXPECT_THROW_MSG(detail::Access::request(client, method, "/x", ""), std::invalid_argument,
                     std::string("Unsupported HTTP method: ") + method);
  }
  EXPECT_EQ(bridge.requestCount(), 0u);
}

TEST(RequestEngineWire, VerbsSendTheirMethodBodyAndContentType) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge.baseUrl(), 0);
  (void)client.post("/a", "");
  (void)client.put("///b", "{\"k\":1}");
  (void)client.patch("c//d", "[1]");
  (void)client.get("/e");
  (void)client.deleteRequest("/f/");

  const auto requests = bridge.requests();
  ASSERT_EQ(requests.size(), 5u);
  const struct {
    const char* method;
    const char* target;
    const char* body;
    bool json;
  } expected[] = {{"POST", "/a", "", true},
                  {"PUT", "/b", "{\"k\":1}", true},
                  {"PATCH", "/c//d", "[1]", true},
                  {"GET", "/e", "", false},
                  {"DELETE", "/f/", "", false}};
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(expected[i].method);
    EXPECT_EQ(requests[i].method, expected[i].method);
    EXPECT_EQ(requests[i].target, expected[i].target);
    EXPECT_EQ(requests[i].body, expected[i].body);
    const std::string* type = requests[i].header("Content-Type");
    if (expected[i].json) {
      ASSERT_NE(type, nullptr);
      EXPECT_EQ(*type, "application/json");
      ASSERT_NE(requests[i].header("Content-Length"), nullptr);
      EXPECT_EQ(*requests[i].header("Content-Length"), std::to_string(std::string(expected[i].body).size()));
    } else {
      EXPECT_EQ(type, nullptr);
      EXPECT_EQ(requests[i].header("Content-Length"), nullptr);
    }
  }
}

TEST(RequestEngineWire, BodiesTravelByteForByteBothWays) {
  TestBridge bridge;
  const std::string binary("\0\x01\xff\r\nCVB1", 9);
  Reply reply;
  reply.body = binary;
  bridge.enqueue(reply);
  IsaacSimClient client = clientFor(bridge.baseUrl(), 0);
  const std::string sent = std::string(300000, 'x') + binary;

  const HttpResponse response = client.post("/p", sent);

  EXPECT_EQ(response.body, binary);
  EXPECT_EQ(bridge.lastRequest().body, sent);
}

TEST(RequestEngineHeaders, HeaderLinesAreStoredByTheirRules) {
  TestBridge bridge;
  bridge.enqueue(
      Reply::rawBytes("HTTP/1.1 200 OK\r\n"
                      "NoSpace:value\r\n"
                      "Spaces:    padded  \t\r\n"
                      "Tabbed:\tkept\r\n"
                      "Repeated: first\r\n"
                      "Repeated: second\r\n"
                      "Case: upper\r\n"
                      "case: lower\r\n"
                      "Spaced Name : x\r\n"
                      "Empty:\r\n"
                      "Content-Length: 2\r\n"
                      "Connection: close\r\n"
                      "\r\n"
                      "{}"));
  IsaacSimClient client = clientFor(bridge.baseUrl(), 0);

  const HttpResponse response = client.get("/h");

  const std::map<std::string, std::string> expected = {
      {"NoSpace", "value"},    {"Spaces", "padded  \t"}, {"Tabbed", "\tkept"},  {"Repeated", "second"},
      {"Case", "upper"},       {"case", "lower"},        {"Spaced Name ", "x"}, {"Empty", ""},
      {"Content-Length", "2"}, {"Connection", "close"}};
  EXPECT_EQ(response.headers, expected) << "the status line and the blank line store nothing";
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "{}");
  ASSERT_NE(response.header("CASE"), nullptr);
  EXPECT_EQ(*response.header("CASE"), "upper") << "the name sorting first wins";
}

}  // namespace
}  // namespace corvane
