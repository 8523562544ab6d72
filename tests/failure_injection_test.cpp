// Failures no real server can provoke: libcurl refusing to make a handle, to take an option, or to build a
// header list. The binary is linked with --wrap for those three calls so that the Nth call fails. The
// memory lanes (valgrind, ASan) run this binary too, so every path here is also checked for leaks.
#include <curl/curl.h>

#include <cstdarg>
#include <functional>

#include <gtest/gtest.h>

#include "corvane/corvane.hpp"
#include "test_bridge.hpp"

namespace {

struct Injection {
  int initCalls = 0, setoptCalls = 0, slistCalls = 0;
  int failInitAt = 0, failSetoptAt = 0, failSlistAt = 0;  // 0: never
} injection;

}  // namespace

extern "C" {
CURL* __real_curl_easy_init(void);
CURLcode __real_curl_easy_setopt(CURL* handle, CURLoption option, ...);
curl_slist* __real_curl_slist_append(curl_slist* list, const char* line);

CURL* __wrap_curl_easy_init(void) {
  if (++injection.initCalls == injection.failInitAt) return nullptr;
  return __real_curl_easy_init();
}

// Every option takes one argument: a long, a pointer (data or function) or a curl_off_t.
CURLcode __wrap_curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  va_list args;
  va_start(args, option);
  CURLcode code = CURLE_OUT_OF_MEMORY;
  const bool fail = ++injection.setoptCalls == injection.failSetoptAt;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    const long value = va_arg(args, long);
    if (!fail) code = __real_curl_easy_setopt(handle, option, value);
  } else if (option < CURLOPTTYPE_OFF_T) {
    void* value = va_arg(args, void*);
    if (!fail) code = __real_curl_easy_setopt(handle, option, value);
  } else {
    const curl_off_t value = va_arg(args, curl_off_t);
    if (!fail) code = __real_curl_easy_setopt(handle, option, value);
  }
  va_end(args);
  return code;
}

curl_slist* __wrap_curl_slist_append(curl_slist* list, const char* line) {
  if (++injection.slistCalls == injection.failSlistAt) return nullptr;
  return __real_curl_slist_append(list, line);
}
}

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::Reply;
using testing::TestBridge;

class FailureInjection : public ::testing::Test {
 protected:
  void SetUp() override { injection = Injection{}; }
  void TearDown() override { injection = Injection{}; }

  IsaacSimClient client(int retries = 0) { return IsaacSimClient("t", bridge.baseUrl(), "ws://x", 2000ms, retries); }

  TestBridge bridge;
};

std::string runtimeErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no runtime_error)";
}

const std::string kSetoptFailure = std::string("curl_easy_setopt failed: ") + curl_easy_strerror(CURLE_OUT_OF_MEMORY);

TEST_F(FailureInjection, FailedHandleCreationEndsTheRequestAtOnce) {
  injection.failInitAt = 1;
  IsaacSimClient c = client(3);
  EXPECT_EQ(runtimeErrorOf([&] { c.get("/x"); }), "Failed to initialize libcurl");
  EXPECT_EQ(bridge.requestCount(), 0u);

  injection = Injection{};
  injection.failInitAt = 2;  // the retry after a 503 cannot get a handle: no further attempts
  bridge.enqueue(Reply::json(503, "{}"), 5);
  EXPECT_EQ(runtimeErrorOf([&] { c.post("/x", "{}"); }), "Failed to initialize libcurl");
  EXPECT_EQ(bridge.requestCount(), 1u);
  EXPECT_EQ(injection.initCalls, 2);
}

TEST_F(FailureInjection, EveryOptionOfEveryVerbCanFailWithoutSending) {
  // GET and DELETE set 6 options (+1 for DELETE's method); POST, PUT and PATCH 10.
  const struct {
    const char* method;
    int options;
  } verbs[] = {{"GET", 6}, {"DELETE", 7}, {"POST", 10}, {"PUT", 10}, {"PATCH", 10}};
  IsaacSimClient c = client(2);
  for (const auto& verb : verbs) {
    for (int n = 1; n <= verb.options; ++n) {
      injection = Injection{};
      injection.failSetoptAt = n;
      EXPECT_EQ(runtimeErrorOf([&] { c.request_(verb.method, "/x", "{\"a\":1}"); }), kSetoptFailure)
          << verb.method << " option " << n;
    }
    injection = Injection{};
    c.request_(verb.method, "/x", "{}");
    EXPECT_EQ(injection.setoptCalls, verb.options) << verb.method << " sets exactly this many options";
  }
  EXPECT_EQ(bridge.requestCount(), 5u) << "only the five undisturbed requests went out";
}

TEST_F(FailureInjection, BodyIsNeverSentWithoutItsContentType) {
  injection.failSlistAt = 1;
  IsaacSimClient c = client(2);
  const std::string message = runtimeErrorOf([&] { c.post("/x", "{\"a\":1}"); });
  EXPECT_NE(message.find("curl_slist_append"), std::string::npos) << message;
  EXPECT_EQ(bridge.requestCount(), 0u);
  EXPECT_EQ(injection.initCalls, 1) << "not retried";
}

}  // namespace
}  // namespace corvane
