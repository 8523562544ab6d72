// Header lookup, JSON parsing of bodies and the success contract every family operation relies on.
#include <gtest/gtest.h>

#include "corvane/response.hpp"
#include "expect_throw.hpp"

namespace corvane {
namespace {

HttpResponse responseOf(long status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

TEST(HttpResponseHeader, LooksUpIgnoringAsciiCaseOnly) {
  HttpResponse response;
  response.headers = {{"Content-Type", "application/json"}, {"x-b", "lower"}, {"X-B", "upper"}, {"", "nameless"}};
  ASSERT_NE(response.header("content-type"), nullptr);
  EXPECT_EQ(*response.header("content-type"), "application/json");
  EXPECT_EQ(response.header("Content-Typ"), nullptr);
  EXPECT_EQ(response.header("Content-Type "), nullptr);
  ASSERT_NE(response.header(""), nullptr);
  EXPECT_EQ(*response.header(""), "nameless");
  EXPECT_EQ(*response.header("x-B"), "upper") << "byte-wise first stored name wins";
  EXPECT_EQ(HttpResponse{}.header(""), nullptr);
  response.headers = {{"\xC4\xB0", "non-ascii"}};
  EXPECT_EQ(response.header("\xC4\xB1"), nullptr) << "only ASCII letters fold";
}

TEST(HttpResponseJson, ParsesTheWholeBodyStrictly) {
  EXPECT_EQ(responseOf(500, "{\"a\":[1,2]}").json(), nlohmann::json::parse("{\"a\":[1,2]}"))
      << "json() does not look at the status";
  EXPECT_THROW((void)responseOf(200, "").json(), nlohmann::json::parse_error);
  EXPECT_THROW((void)responseOf(200, "{} x").json(), nlohmann::json::parse_error);
  EXPECT_THROW((void)responseOf(200, "{/*c*/}").json(), nlohmann::json::parse_error);
  EXPECT_EQ(responseOf(200, " \n[true] \t").json(), nlohmann::json::array({true}));
}

TEST(ParseSuccessOrThrow, SuccessBodies) {
  const nlohmann::json object = {{"joints", {1.5, 2}}};
  EXPECT_EQ(detail::parseSuccessOrThrow(responseOf(200, object.dump())), object);
  EXPECT_EQ(detail::parseSuccessOrThrow(responseOf(299, object.dump())), object);
  const nlohmann::json empty = detail::parseSuccessOrThrow(responseOf(204, ""));
  EXPECT_TRUE(empty.is_object());
  EXPECT_TRUE(empty.empty());
  EXPECT_TRUE(detail::parseSuccessOrThrow(responseOf(200, "null")).is_null());
}

TEST(ParseSuccessOrThrow, InvalidSuccessBodiesAreParseErrors) {
  for (const char* body : {" ", "\r\n\t", "{\"a\":1} trailing", "{\"a\":1 /* c */}", "[1,]"}) {
    EXPECT_THROW((void)detail::parseSuccessOrThrow(responseOf(200, body)), nlohmann::json::parse_error) << body;
  }
}

TEST(ParseSuccessOrThrow, StatusesOutsideTwoHundredsThrowHttpError) {
  for (long status : {0L, 199L, 300L, 404L, 503L, -1L}) {
    EXPECT_HTTP_ERROR(detail::parseSuccessOrThrow(responseOf(status, "not found")), status, "not found");
  }
  EXPECT_THROW((void)detail::parseSuccessOrThrow(responseOf(404, "{}")), std::runtime_error)
      << "HTTPError is a runtime_error";
}

}  // namespace
}  // namespace corvane
