#pragma once

// Exception assertions. EXPECT_THROW_MSG(expression, Type, message) passes when `expression` (its value,
// if any, discarded) throws a `Type` whose what() is exactly `message`; EXPECT_THROW_PREFIX when what()
// starts with the text given, EXPECT_THROW_CONTAINING when it contains it; EXPECT_HTTP_ERROR(expression,
// status, body) when it throws the HTTPError of a bridge reply with that status and body. Returning,
// throwing another type or another error fails the test and says which. Like EXPECT_THROW, they take more
// context: EXPECT_THROW_MSG(...) << "call " << i;
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "corvane/response.hpp"

namespace corvane::testing {

// Describes the exception being handled; call only inside a catch block.
inline std::string describeCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    return std::string("another exception, saying \"") + e.what() + "\"";
  } catch (...) {
    return "an exception not derived from std::exception";
  }
}

// Runs `call` and holds what it throws to `Error` and to `check`, which says what differs when it fails.
template <class Error, class Call, class Check>
::testing::AssertionResult throwsMatching(Call&& call, const char* expression, const char* type, Check&& check) {
  try {
    call();
  } catch (const Error& e) {
    ::testing::AssertionResult matched = check(e);
    if (matched) return matched;
    return ::testing::AssertionFailure() << expression << " throws " << type << matched.message();
  } catch (...) {
    return ::testing::AssertionFailure() << expression << " throws " << describeCurrentException() << ", not " << type;
  }
  return ::testing::AssertionFailure() << expression << " throws nothing; expected " << type;
}

// The `Error` that `call` throws, to look at its fields; fails the test (and throws) when none is thrown.
template <class Error, class Call>
Error caught(Call&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "no exception of the expected type";
  throw std::logic_error("no exception of the expected type");
}

enum class Match { whole, prefix, part };

inline ::testing::AssertionResult messageIs(const std::exception& e, std::string_view expected, Match match) {
  const std::string_view actual = e.what();
  const bool matched = match == Match::whole    ? actual == expected
                       : match == Match::prefix ? actual.substr(0, expected.size()) == expected
                                                : actual.find(expected) != std::string_view::npos;
  if (matched) return ::testing::AssertionSuccess();
  const char* how = match == Match::whole ? "" : match == Match::prefix ? " a message starting with" : " one with";
  return ::testing::AssertionFailure() << " saying\n  \"" << actual << "\"\ninstead of" << how << "\n  \"" << expected
                                       << "\"";
}

inline ::testing::AssertionResult isBridgeReply(const HTTPError& e, long status, std::string_view body) {
  if (e.status() == status && e.body() == body && e.what() == "Bridge returned status " + std::to_string(status)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << " saying \"" << e.what() << "\" with status " << e.status()
                                       << " and body\n  \"" << e.body() << "\"\ninstead of status " << status
                                       << " and body\n  \"" << body << "\"";
}

}  // namespace corvane::testing

#define CORVANE_EXPECT_THROW_(expression, Type, check)                                              \
  switch (0)                                                                                        \
  case 0:                                                                                           \
  default:                                                                                          \
    if (const ::testing::AssertionResult corvane_thrown = ::corvane::testing::throwsMatching<Type>( \
            [&] { static_cast<void>(expression); }, #expression, #Type, check))                     \
      ;                                                                                             \
    else                                                                                            \
      ADD_FAILURE() << corvane_thrown.message() << '\n'

#define EXPECT_THROW_MSG(expression, Type, text)                                                 \
  CORVANE_EXPECT_THROW_(expression, Type, [&](const Type& corvane_error) {                       \
    return ::corvane::testing::messageIs(corvane_error, text, ::corvane::testing::Match::whole); \
  })
#define EXPECT_THROW_PREFIX(expression, Type, text)                                               \
  CORVANE_EXPECT_THROW_(expression, Type, [&](const Type& corvane_error) {                        \
    return ::corvane::testing::messageIs(corvane_error, text, ::corvane::testing::Match::prefix); \
  })
#define EXPECT_THROW_CONTAINING(expression, Type, text)                                         \
  CORVANE_EXPECT_THROW_(expression, Type, [&](const Type& corvane_error) {                      \
    return ::corvane::testing::messageIs(corvane_error, text, ::corvane::testing::Match::part); \
  })
#define EXPECT_HTTP_ERROR(expression, status, body)                                                        \
  CORVANE_EXPECT_THROW_(expression, ::corvane::HTTPError, [&](const ::corvane::HTTPError& corvane_error) { \
    return ::corvane::testing::isBridgeReply(corvane_error, status, body);                                 \
  })
