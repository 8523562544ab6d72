// Surface grippers against the test bridge: routes, bodies byte for byte, how prim paths reach the
// request target, partial property updates, and what the caller sees on failures.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::Reply;
using testing::TestBridge;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class SurfaceGripperTest : public ::testing::Test {
 protected:
  TestBridge bridge;
  IsaacSimClient client{"test", bridge.baseUrl(), "ws://unused", 5000ms, 0};
  SurfaceGripper& grippers = client.surfaceGripper;

  void expectRequest(const char* method, const std::string& target, const std::string& body) {
    const auto request = bridge.lastRequest();
    EXPECT_EQ(request.method, method);
    EXPECT_EQ(request.target, target);
    EXPECT_EQ(request.body, body);
  }
  std::string lastTarget() { return bridge.lastRequest().target; }
  std::string lastBody() { return bridge.lastRequest().body; }
};

// --- lifecycle and queries -------------------------------------------------------------------------

TEST_F(SurfaceGripperTest, EveryOperationUsesItsMethodRouteAndBody) {
  const std::string g = "/surface_grippers//World/Gripper";
  grippers.create("/World/Gripper");
  expectRequest("PUT", "/surface_grippers", "{\"prim_path\":\"/World/Gripper\"}");
  grippers.remove("/World/Gripper");
  expectRequest("DELETE", g, "");
  (void)grippers.get("/World/Gripper");
  expectRequest("GET", g, "");
  grippers.close("/World/Gripper", false);
  expectRequest("POST", g + "/close", "{\"asynchronous\":false}");
  grippers.open("/World/Gripper", true);
  expectRequest("POST", g + "/open", "{\"asynchronous\":true}");
  (void)grippers.getStatus("/World/Gripper");
  expectRequest("GET", g + "/status", "");
  (void)grippers.getProperties("/World/Gripper");
  expectRequest("GET", g + "/properties", "");
  (void)grippers.getAttachmentPoints("/World/Gripper");
  expectRequest("GET", g + "/attachment_points", "");
  grippers.setProperties("/World/Gripper");
  expectRequest("PATCH", g + "/properties", "{}");
  grippers.setAttachmentPointProperties("/World/Gripper");
  expectRequest("PATCH", g + "/attachment_points", "{}");
  EXPECT_EQ(bridge.requestCount(), 10u) << "one attempt per operation";
}

TEST_F(SurfaceGripperTest, CreateCarriesThePrimPathInItsBodyAsRawUtf8) {
  grippers.create("");
  expectRequest("PUT", "/surface_grippers", "{\"prim_path\":\"\"}");
  grippers.create("/World/Gr\xC3\xA9ifer_\xE6\x8A\x93");  // é and a CJK character
  EXPECT_EQ(lastBody(), "{\"prim_path\":\"/World/Gr\xC3\xA9ifer_\xE6\x8A\x93\"}") << "no \\u escapes";
  grippers.create(std::string_view("a\"b\\c\0d", 7));
  EXPECT_EQ(lastBody(), "{\"prim_path\":\"a\\\"b\\\\c\\u0000d\"}") << "JSON escaping still applies";
}

TEST_F(SurfaceGripperTest, OpenAndCloseAlwaysSendTheAsynchronousFlag) {
  grippers.close("/G", true);
  EXPECT_EQ(lastBody(), "{\"asynchronous\":true}");
  grippers.close("/G", false);
  EXPECT_EQ(lastBody(), "{\"asynchronous\":false}");
  grippers.open("/G", false);
  EXPECT_EQ(lastBody(), "{\"asynchronous\":false}");
  grippers.open("/G");
  EXPECT_EQ(lastBody(), "{\"asynchronous\":false}") << "the default is a synchronous action";
  EXPECT_EQ(lastTarget(), "/surface_grippers//G/open");
}

TEST_F(SurfaceGripperTest, RepliesAreReturnedUnchanged) {
  const std::string reply = "{\"prim_path\":\"/World/Gripper\",\"nested\":{\"b\":[1,2.5,null]},\"a\":\"\xC3\xA9\"}";
  bridge.enqueue(Reply::json(201, reply));
  EXPECT_EQ(grippers.create("/World/Gripper"), json::parse(reply)) << "the whole reply, not just a name";
  bridge.enqueue(Reply::json(200, "null"));
  EXPECT_TRUE(grippers.getProperties("/G").is_null());
  bridge.enqueue(Reply::json(204, ""));
  EXPECT_EQ(grippers.open("/G"), json::object()) << "an empty success body is an empty object";
  bridge.enqueue(Reply::json(200, ""));
  EXPECT_EQ(grippers.setProperties("/G", 1.0), json::object());
}

TEST_F(SurfaceGripperTest, RemoveReturnsOnAnEmptySuccessAndThrowsOnFailure) {
  bridge.enqueue(Reply::json(200, ""));
  EXPECT_NO_THROW(grippers.remove("/World/Gripper"));
  bridge.enqueue(Reply::json(404, "no such gripper"));
  EXPECT_HTTP_ERROR(grippers.remove("/World/Gone"), 404, "no such gripper");
  bridge.enqueue(Reply::json(200, "not json"));
  EXPECT_THROW(grippers.remove("/World/Gripper"), json::parse_error) << "a success body must still be JSON";
}

TEST(SurfaceGripperRetries, RemoveThrowsHttpErrorWhenEveryAttemptFails) {
  TestBridge bridge;
  bridge.enqueue(Reply::json(500, "{\"error\":\"busy\"}"), 2);
  bridge.setFallback(Reply::json(200, ""));
  IsaacSimClient client("test", bridge.baseUrl(), "ws://unused", 5000ms, 1);
  EXPECT_HTTP_ERROR(client.surfaceGripper.remove("/World/Gripper"), 500, "{\"error\":\"busy\"}")
      << "500 after the last retry";
  EXPECT_EQ(bridge.requestCount(), 2u) << "one retry, then the last response decides";

  bridge.enqueue(Reply::json(503, ""));
  EXPECT_NO_THROW(client.surfaceGripper.remove("/World/Gripper")) << "a retry that succeeds wins";
  EXPECT_EQ(bridge.requestCount(), 4u);
}

// --- prim paths in the request target -------------------------------------------------------------

TEST_F(SurfaceGripperTest, PrimPathsAreInsertedByteForByte) {
  (void)grippers.getStatus("/World/Gripper");
  EXPECT_EQ(lastTarget(), "/surface_grippers//World/Gripper/status") << "a leading slash doubles";
  (void)grippers.get("");
  EXPECT_EQ(lastTarget(), "/surface_grippers/");
  grippers.remove("");
  EXPECT_EQ(lastTarget(), "/surface_grippers/");
  grippers.close("");
  EXPECT_EQ(lastTarget(), "/surface_grippers//close");
  (void)grippers.get("World//Gripper/");
  EXPECT_EQ(lastTarget(), "/surface_grippers/World//Gripper/") << "no slash added or removed";
  (void)grippers.getProperties("/W/50%/a%20b");
  EXPECT_EQ(lastTarget(), "/surface_grippers//W/50%/a%20b/properties") << "'%' is not escaped or decoded";
  (void)grippers.getStatus("/W/G?x=1");
  EXPECT_EQ(lastTarget(), "/surface_grippers//W/G?x=1/status") << "'?' goes out raw (it starts a query)";
  (void)grippers.get("/W/Gr\xC3\xA9ifer");
  EXPECT_EQ(lastTarget(), "/surface_grippers//W/Gr%c3%a9ifer") << "libcurl encodes bytes above 0x7f";
}

TEST_F(SurfaceGripperTest, HashAndNulAreEncodedSoTheRestOfThePathSurvives) {
  // Raw, libcurl would send DELETE /surface_grippers//W/G and remove another gripper.
  grippers.remove("/W/G#2");
  expectRequest("DELETE", "/surface_grippers//W/G%232", "");
  (void)grippers.getStatus("/W/#G#");
  EXPECT_EQ(lastTarget(), "/surface_grippers//W/%23G%23/status");
  grippers.setProperties(std::string_view("/W/G\0x", 6), 1.0);
  expectRequest("PATCH", "/surface_grippers//W/G%00x/properties", "{\"coaxial_force_limit\":1.0}");
  grippers.close("/W/G?a#b");
  EXPECT_EQ(lastTarget(), "/surface_grippers//W/G?a%23b/close");
  grippers.create("/W/G#2");
  EXPECT_EQ(lastBody(), "{\"prim_path\":\"/W/G#2\"}") << "the body keeps the prim path as it is";
}

TEST_F(SurfaceGripperTest, SpacesAndControlCharactersAreRefusedByLibcurlAndNothingIsSent) {
  const std::string expected = std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_URL_MALFORMAT);
  for (const char* primPath : {"/World/My Gripper", "/W/G\n", "/W/\x01G", "/W/\tG", "/W/G\r", "/W/G\x7f"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(primPath)));
    EXPECT_THROW_MSG(grippers.getStatus(primPath), std::runtime_error, expected);
  }
  EXPECT_THROW(grippers.remove("/World/My Gripper"), std::runtime_error);
  EXPECT_EQ(bridge.requestCount(), 0u);
}

// --- gripper properties ---------------------------------------------------------------------------

TEST_F(SurfaceGripperTest, SetPropertiesSendsOnlyTheOptionsGiven) {
  grippers.setProperties("/G");
  EXPECT_EQ(lastBody(), "{}");
  grippers.setProperties("/G", 5.0);
  EXPECT_EQ(lastBody(), "{\"coaxial_force_limit\":5.0}");
  grippers.setProperties("/G", std::nullopt, 2);
  EXPECT_EQ(lastBody(), "{\"shear_force_limit\":2.0}") << "a whole number keeps its fraction";
  grippers.setProperties("/G", {}, {}, {}, 0.0);
  EXPECT_EQ(lastBody(), "{\"retry_interval\":0.0}") << "zero is present, not absent";
  grippers.setProperties("/G", {}, {}, {}, {}, {}, {}, "");
  EXPECT_EQ(lastBody(), "{\"forward_axis\":\"\"}");
  EXPECT_EQ(lastTarget(), "/surface_grippers//G/properties");
}

TEST_F(SurfaceGripperTest, SetPropertiesWithEveryOptionUsesWireOrder) {
  grippers.setProperties("/G", 1.5, 2.5, 0.25, 0.1, AxisLimits{AxisRange{0.0, 1.0}},
                         AxisLimits{std::nullopt, AxisRange{-0.5, 0.5}, AxisRange{2.0, 3.0}}, "+z");
  EXPECT_EQ(lastBody(),
            "{\"coaxial_force_limit\":1.5,\"forward_axis\":\"+z\",\"max_grip_distance\":0.25,"
            "\"retry_interval\":0.1,\"rotation_limits\":{\"x\":{\"maximum\":1.0,\"minimum\":0.0},\"y\":null,"
            "\"z\":null},\"shear_force_limit\":2.5,\"translation_limits\":{\"x\":null,\"y\":{\"maximum\":0.5,"
            "\"minimum\":-0.5},\"z\":{\"maximum\":3.0,\"minimum\":2.0}}}");
}

TEST_F(SurfaceGripperTest, AxisLimitsAlwaysCarryAllThreeAxes) {
  grippers.setProperties("/G", {}, {}, {}, {}, AxisLimits{AxisRange{0.0, 1.0}});
  EXPECT_EQ(lastBody(), "{\"rotation_limits\":{\"x\":{\"maximum\":1.0,\"minimum\":0.0},\"y\":null,\"z\":null}}");
  grippers.setProperties("/G", {}, {}, {}, {}, {}, AxisLimits{});
  EXPECT_EQ(lastBody(), "{\"translation_limits\":{\"x\":null,\"y\":null,\"z\":null}}") << "present, so not left out";
  EXPECT_EQ(json(AxisLimits{{}, {}, AxisRange{-1.0, 2.0}}).dump(),
            "{\"x\":null,\"y\":null,\"z\":{\"maximum\":2.0,\"minimum\":-1.0}}");
  EXPECT_EQ(json(AxisRange{}).dump(), "{\"maximum\":0.0,\"minimum\":0.0}");
}

TEST_F(SurfaceGripperTest, ValuesAreSentUncheckedAndNonFiniteBecomesNull) {
  grippers.setProperties("/G", kNaN, -3.0, kInf);
  EXPECT_EQ(lastBody(), "{\"coaxial_force_limit\":null,\"max_grip_distance\":null,\"shear_force_limit\":-3.0}");
  grippers.setProperties("/G", {}, {}, {}, {}, AxisLimits{AxisRange{2.0, -1.0}, AxisRange{kNaN, -kInf}});
  EXPECT_EQ(lastBody(),
            "{\"rotation_limits\":{\"x\":{\"maximum\":-1.0,\"minimum\":2.0},"
            "\"y\":{\"maximum\":null,\"minimum\":null},\"z\":null}}")
      << "a minimum above its maximum is sent unchanged";
}

// --- attachment points ----------------------------------------------------------------------------

TEST_F(SurfaceGripperTest, SetAttachmentPointPropertiesSendsOnlyTheOptionsGiven) {
  grippers.setAttachmentPointProperties("/G");
  expectRequest("PATCH", "/surface_grippers//G/attachment_points", "{}");
  grippers.setAttachmentPointProperties("/G", std::vector<std::string>{});
  EXPECT_EQ(lastBody(), "{\"joint_paths\":[]}");
  grippers.setAttachmentPointProperties("/G", std::vector<std::string>{"/G/j2", "/G/j1", "/G/j2"});
  EXPECT_EQ(lastBody(), "{\"joint_paths\":[\"/G/j2\",\"/G/j1\",\"/G/j2\"]}") << "order and repeats kept";
  grippers.setAttachmentPointProperties("/G", {}, {}, {}, {}, {}, {}, {}, {}, "");
  EXPECT_EQ(lastBody(), "{\"forward_axis\":\"\"}");
  grippers.setAttachmentPointProperties("/G", {}, {}, {}, {}, {}, {}, {}, -0.0);
  EXPECT_EQ(lastBody(), "{\"clearance_offset\":-0.0}");
}

TEST_F(SurfaceGripperTest, LocalPosesAreCopiedAsGivenAndNullDiffersFromAbsent) {
  grippers.setAttachmentPointProperties("/G", {}, json(nullptr));
  EXPECT_EQ(lastBody(), "{\"local_pose_0\":null}");
  grippers.setAttachmentPointProperties("/G", {}, std::nullopt, json(nullptr));
  EXPECT_EQ(lastBody(), "{\"local_pose_1\":null}") << "an absent pose 0 sends no member";
  const json pose = {{"position", {0, 0.5, 1e-3}}, {"orientation", {1.0, 0.0, 0.0, 0.0}}, {"frame", "w"}};
  grippers.setAttachmentPointProperties("/G", {}, pose, json(7));
  EXPECT_EQ(lastBody(),
            "{\"local_pose_0\":{\"frame\":\"w\",\"orientation\":[1.0,0.0,0.0,0.0],\"position\":[0,0.5,0.001]},"
            "\"local_pose_1\":7}");
}

TEST_F(SurfaceGripperTest, SetAttachmentPointPropertiesWithEveryOptionUsesWireOrder) {
  grippers.setAttachmentPointProperties("/G", std::vector<std::string>{"/G/a"}, json::array({1}), json("p1"), 100.0,
                                        0.5, AxisLimits{}, AxisLimits{{}, {}, AxisRange{0.0, 0.01}}, 0.002, "-x");
  EXPECT_EQ(lastBody(),
            "{\"clearance_offset\":0.002,\"forward_axis\":\"-x\",\"joint_paths\":[\"/G/a\"],\"local_pose_0\":[1],"
            "\"local_pose_1\":\"p1\",\"rotation_limits\":{\"x\":null,\"y\":null,\"z\":null},"
            "\"translation_limits\":{\"x\":null,\"y\":null,\"z\":{\"maximum\":0.01,\"minimum\":0.0}},"
            "\"z_axis_translation_drive_damping\":0.5,\"z_axis_translation_drive_stiffness\":100.0}");
}

TEST_F(SurfaceGripperTest, RecordFormsSendTheBodiesOfThePositionalForms) {
  grippers.setProperties("/G", 1.5, std::nullopt, 0.25, std::nullopt, AxisLimits{}, std::nullopt, "X");
  const std::string positional = lastBody();
  GripperProperties properties;
  properties.coaxialForceLimit = 1.5;
  properties.maxGripDistance = 0.25;
  properties.rotationLimits = AxisLimits{};
  properties.forwardAxis = "X";
  grippers.setProperties("/G", properties);
  expectRequest("PATCH", "/surface_grippers//G/properties", positional);

  grippers.setAttachmentPointProperties("/G", std::vector<std::string>{}, json(nullptr), std::nullopt, 100.0,
                                        std::nullopt, std::nullopt, AxisLimits{AxisRange{0.0, 1.0}}, 0.002);
  const std::string positionalPoints = lastBody();
  AttachmentPointProperties points;
  points.jointPaths = std::vector<std::string>{};
  points.localPose0 = json(nullptr);
  points.zAxisTranslationDriveStiffness = 100.0;
  points.translationLimits = AxisLimits{AxisRange{0.0, 1.0}};
  points.clearanceOffset = 0.002;
  grippers.setAttachmentPointProperties("/G", points);
  expectRequest("PATCH", "/surface_grippers//G/attachment_points", positionalPoints);
  grippers.setAttachmentPointProperties("/G", AttachmentPointProperties{});
  EXPECT_EQ(lastBody(), "{}");
}

// --- text that is not UTF-8 -----------------------------------------------------------------------

TEST_F(SurfaceGripperTest, InvalidUtf8FailsBeforeAnythingIsSent) {
  const std::string bad = "/World/\xFFGripper";
  const char* const invalid = "[json.exception.type_error.316]";
  EXPECT_THROW_PREFIX(grippers.create(bad), json::type_error, invalid);
  EXPECT_THROW_PREFIX(grippers.setProperties("/G", 1.0, {}, {}, {}, {}, {}, "\xC0\xAF"), json::type_error, invalid);
  EXPECT_THROW_PREFIX(grippers.setAttachmentPointProperties("/G", std::vector<std::string>{"ok", bad}),
                      json::type_error, invalid);
  EXPECT_THROW_PREFIX(grippers.setAttachmentPointProperties("/G", {}, {}, json{{"frame", bad}}), json::type_error,
                      invalid);
  EXPECT_EQ(bridge.requestCount(), 0u);

  (void)grippers.getStatus(bad);  // a path is not a JSON text: it goes out, encoded by libcurl
  EXPECT_EQ(lastTarget(), "/surface_grippers//World/%ffGripper/status");
}

}  // namespace
}  // namespace corvane
