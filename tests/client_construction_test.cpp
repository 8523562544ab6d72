// Construction checks, base URL normalisation, URL preparation and copying of the client.
#include <type_traits>

#include <gtest/gtest.h>

#include "client/access.hpp"
#include "corvane/corvane.hpp"
#include "expect_throw.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;

IsaacSimClient makeClient(std::string base, std::string ws = "ws://ws", milliseconds timeout = milliseconds(1000),
                          int retries = 0) {
  return IsaacSimClient("label", std::move(base), std::move(ws), timeout, retries);
}

TEST(ClientConstruction, RejectsBadSettingsInOrder) {
  using Invalid = std::invalid_argument;
  EXPECT_THROW_MSG(makeClient("", "", milliseconds(0), -1), Invalid, "base_url must not be empty");
  EXPECT_THROW_MSG(makeClient("http://b", "", milliseconds(0), -1), Invalid, "websocket_base_url must not be empty");
  EXPECT_THROW_MSG(makeClient("http://b", "ws://w", milliseconds(0), -1), Invalid, "timeout must be positive");
  EXPECT_THROW_MSG(makeClient("http://b", "ws://w", milliseconds(-5), 0), Invalid, "timeout must be positive");
  EXPECT_THROW_MSG(makeClient("http://b", "ws://w", milliseconds(1), -1), Invalid, "max_retries must not be negative");
}

TEST(ClientConstruction, AcceptsBoundaryValues) {
  const IsaacSimClient client("", "http://b", "ws://w", milliseconds(1), 0);
  EXPECT_EQ(client.label(), "");
  EXPECT_EQ(client.timeout(), milliseconds(1));
  EXPECT_EQ(client.maxRetries(), 0);
}

TEST(ClientConstruction, NormalisesOnlyTheTrailingSlash) {
  EXPECT_EQ(makeClient("http://h:1").baseUrl(), "http://h:1/");
  EXPECT_EQ(makeClient("http://h:1/").baseUrl(), "http://h:1/");
  EXPECT_EQ(makeClient("http://h:1//").baseUrl(), "http://h:1//");
  EXPECT_EQ(makeClient("/").baseUrl(), "/");
  EXPECT_EQ(makeClient(" http://h/a?q=1#f ").baseUrl(), " http://h/a?q=1#f /");
  EXPECT_EQ(makeClient("http://h", "ws://w").websocketBaseUrl(), "ws://w/");
  EXPECT_EQ(makeClient("http://h", "ws://w/").websocketBaseUrl(), "ws://w/");
  EXPECT_EQ(makeClient("http://h", "ws://w//").websocketBaseUrl(), "ws://w//");
}

TEST(ClientConstruction, PrepareUrlStripsOnlyLeadingSlashesOfThePath) {
  const IsaacSimClient client = makeClient("http://b");
  EXPECT_EQ(detail::Access::url(client, "/articulations"), "http://b/articulations");
  EXPECT_EQ(detail::Access::url(client, "///articulations"), "http://b/articulations");
  EXPECT_EQ(detail::Access::url(client, "articulations"), "http://b/articulations");
  EXPECT_EQ(detail::Access::url(client, ""), "http://b/");
  EXPECT_EQ(detail::Access::url(client, "/"), "http://b/");
  EXPECT_EQ(detail::Access::url(client, "///"), "http://b/");
  EXPECT_EQ(detail::Access::url(client, "/articulations//World/robot/dof_limits"),
            "http://b/articulations//World/robot/dof_limits");
  EXPECT_EQ(detail::Access::url(client, "/a b/%2F?x#y/"), "http://b/a b/%2F?x#y/");
}

TEST(ClientConstruction, CopiesAndMovesRebindTheFamilies) {
  static_assert(std::is_copy_constructible_v<IsaacSimClient>);
  static_assert(std::is_move_constructible_v<IsaacSimClient>);
  static_assert(!std::is_copy_assignable_v<IsaacSimClient>);

  auto original = std::make_unique<IsaacSimClient>("lab", "http://b", "ws://w", milliseconds(250), 2);
  IsaacSimClient copy(*original);
  IsaacSimClient moved(std::move(*original));
  EXPECT_EQ(original->baseUrl(), "http://b/") << "moving leaves the source usable";
  original.reset();

  for (const IsaacSimClient* client : {&copy, &moved}) {
    EXPECT_EQ(client->label(), "lab");
    EXPECT_EQ(client->baseUrl(), "http://b/");
    EXPECT_EQ(client->websocketBaseUrl(), "ws://w/");
    EXPECT_EQ(client->timeout(), milliseconds(250));
    EXPECT_EQ(client->maxRetries(), 2);
    EXPECT_EQ(&client->articulation.client(), client);
    EXPECT_EQ(&client->surfaceGripper.client(), client);
    EXPECT_EQ(&client->camera.client(), client);
  }
}

}  // namespace
}  // namespace corvane
