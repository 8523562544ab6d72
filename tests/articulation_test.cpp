// The articulation family against the test bridge: bodies byte for byte, request paths and methods,
// what each reply turns into, invalid UTF-8 in a body, and the stream operations.
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

class ArticulationTest : public ::testing::Test {
 protected:
  // The body of the last request, checking its method and target on the way.
  std::string sent(const char* method, const std::string& target) {
    const auto request = bridge.lastRequest();
    EXPECT_EQ(request.method, method);
    EXPECT_EQ(request.target, target);
    return request.body;
  }

  TestBridge bridge;
  IsaacSimClient client{"test", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0};
  Articulation& arm = client.articulation;
};

TEST_F(ArticulationTest, CreateSendsThePrimPathAndTheUrdfPathOrNull) {
  arm.create("/World/arm");
  EXPECT_EQ(sent("PUT", "/articulations"), R"({"prim_path":"/World/arm","urdf_path":null})");
  arm.create("", "");
  EXPECT_EQ(sent("PUT", "/articulations"), R"({"prim_path":"","urdf_path":""})");
  arm.create("/World/br\xc3\xa4m", std::string("/robots/\"arm\".urdf"));
  EXPECT_EQ(sent("PUT", "/articulations"),
            "{\"prim_path\":\"/World/br\xc3\xa4m\",\"urdf_path\":\"/robots/\\\"arm\\\".urdf\"}");
}

TEST_F(ArticulationTest, DrivenJointsKeepTheCallersOrderAndDuplicates) {
  arm.setDrivenJoints("/World/arm", {});
  EXPECT_EQ(sent("PUT", "/articulations//World/arm/driven_joints"), R"({"joint_names":[]})");
  arm.setDrivenJoints("/World/arm", {"j2", "j1", "j2", ""});
  EXPECT_EQ(sent("PUT", "/articulations//World/arm/driven_joints"), R"({"joint_names":["j2","j1","j2",""]})");
}

TEST_F(ArticulationTest, SetJointPositionsSendsFloatsAndIndicesOrNull) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  arm.setJointPositions("/World/arm", {0.5, 2.0, -3.25, 0.1});
  EXPECT_EQ(sent("POST", "/articulations//World/arm/set_j"),
            R"({"indices":null,"joint_positions":[0.5,2.0,-3.25,0.1]})");
  arm.setJointPositions("/World/arm", {1.0}, std::vector<int>{});
  EXPECT_EQ(sent("POST", "/articulations//World/arm/set_j"), R"({"indices":[],"joint_positions":[1.0]})");
  arm.setJointPositions("/World/arm", {nan, 0.0, inf, -inf}, std::vector<int>{-1, 0, 7});
  EXPECT_EQ(sent("POST", "/articulations//World/arm/set_j"),
            R"({"indices":[-1,0,7],"joint_positions":[null,0.0,null,null]})");
  arm.setJointPositions("/World/arm", {}, std::nullopt);
  EXPECT_EQ(sent("POST", "/articulations//World/arm/set_j"), R"({"indices":null,"joint_positions":[]})");
}

TEST_F(ArticulationTest, MoveJointPositionsAlwaysSendsTheAsynchronousFlag) {
  arm.moveJointPositions("/World/arm", {0.5, 2});
  EXPECT_EQ(sent("POST", "/articulations//World/arm/move_j"),
            R"({"asynchronous":false,"indices":null,"joint_positions":[0.5,2.0]})");
  arm.moveJointPositions("/World/arm", {0.5, 2}, std::nullopt, true);
  EXPECT_EQ(sent("POST", "/articulations//World/arm/move_j"),
            R"({"asynchronous":true,"indices":null,"joint_positions":[0.5,2.0]})");
  arm.moveJointPositions("/World/arm", {3.0}, std::vector<int>{4, 4}, false);
  EXPECT_EQ(sent("POST", "/articulations//World/arm/move_j"),
            R"({"asynchronous":false,"indices":[4,4],"joint_positions":[3.0]})");
}

TEST_F(ArticulationTest, AssembleRobotSendsEveryKeyAndTheOffsetAsGiven) {
  const std::string path = "/articulations//World/arm/assemble_robot";
  arm.assembleRobot("/World/arm", "g", "a");
  const std::string absent = R"({"arm_mount_link":"a","gripper_id":"g","gripper_mount_link":null,)"
                             R"("mask_collisions":true,"offset":null})";
  EXPECT_EQ(sent("POST", path), absent);
  arm.assembleRobot("/World/arm", "g", "a", std::nullopt, json(nullptr), true);
  EXPECT_EQ(sent("POST", path), absent) << "an offset holding null is sent like an absent one";

  arm.assembleRobot("/World/arm", "", "", "", json::array({0, 0, 0.1}), false);
  EXPECT_EQ(sent("POST", path), R"({"arm_mount_link":"","gripper_id":"","gripper_mount_link":"",)"
                                R"("mask_collisions":false,"offset":[0,0,0.1]})");
  arm.assembleRobot("/World/arm", "g", "a", "tool0", json(5), true);
  EXPECT_EQ(sent("POST", path), R"({"arm_mount_link":"a","gripper_id":"g","gripper_mount_link":"tool0",)"
                                R"("mask_collisions":true,"offset":5})");

  const json nested = json::parse(R"({"z":{"b":1,"a":[{"y":1,"x":2}]},"a":"\u00e9"})");
  const json before = nested;
  arm.assembleRobot("/World/arm", "g", "a", std::nullopt, nested, true);
  EXPECT_EQ(sent("POST", path),
            "{\"arm_mount_link\":\"a\",\"gripper_id\":\"g\",\"gripper_mount_link\":null,"
            "\"mask_collisions\":true,\"offset\":{\"a\":\"\xc3\xa9\",\"z\":{\"a\":[{\"x\":2,"
            "\"y\":1}],\"b\":1}}}");
  EXPECT_EQ(nested, before);
}

TEST_F(ArticulationTest, InvalidUtf8InABodyThrowsTypeError316AndSendsNothing) {
  const std::vector<std::function<void()>> calls = {
      [&] { arm.create("/World/\xff"); },
      [&] { arm.create("/World/arm", std::string_view("\xc3")); },
      [&] {
        arm.setDrivenJoints("/World/arm", {"ok", "bad\xfe"});
      },
      [&] { arm.assembleRobot("/World/arm", "\xff", "a"); },
      [&] { arm.assembleRobot("/World/arm", "g", "a", "\x80"); },
      [&] {
        arm.assembleRobot("/World/arm", "g", "a", std::nullopt, json{{"bad\xff", 1}});
      },
      [&] { arm.assembleRobot("/World/arm", "g", "a", std::nullopt, json::array({"x\xc0"})); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_THROW_PREFIX(calls[i](), json::type_error, "[json.exception.type_error.316]") << "call " << i;
  }
  EXPECT_EQ(bridge.requestCount(), 0u);
}

TEST_F(ArticulationTest, PathsInsertThePrimPathByteForByte) {
  const struct {
    std::string prim;
    std::string base;
  } prims[] = {{"/World/arm", "/articulations//World/arm"}, {"", "/articulations/"}};
  for (const auto& p : prims) {
    SCOPED_TRACE(p.prim);
    arm.remove(p.prim);
    EXPECT_EQ(sent("DELETE", p.base), "");
    EXPECT_EQ(bridge.lastRequest().header("Content-Type"), nullptr);
    (void)arm.getDriverJoint(p.prim);
    sent("GET", p.base + "/driver_joint");
    (void)arm.getDofLimits(p.prim);
    sent("GET", p.base + "/dof_limits");
    (void)arm.getJointsState(p.prim);
    sent("GET", p.base + "/joints_state");
    arm.setDrivenJoints(p.prim, {"j"});
    sent("PUT", p.base + "/driven_joints");
    arm.setJointPositions(p.prim, {1});
    sent("POST", p.base + "/set_j");
    arm.moveJointPositions(p.prim, {1});
    sent("POST", p.base + "/move_j");
    arm.assembleRobot(p.prim, "g", "a");
    sent("POST", p.base + "/assemble_robot");
    ASSERT_NE(bridge.lastRequest().header("Content-Type"), nullptr);
    EXPECT_EQ(*bridge.lastRequest().header("Content-Type"), "application/json");
  }
}

TEST_F(ArticulationTest, SuccessRepliesAreReturnedWholeAndEmptyBodiesGiveAnEmptyObject) {
  bridge.setFallback(Reply::json(200, ""));
  const std::vector<std::function<json()>> calls = {
      [&] { return arm.create("/a"); },
      [&] { return arm.getDriverJoint("/a"); },
      [&] { return arm.setDrivenJoints("/a", {}); },
      [&] { return arm.getDofLimits("/a"); },
      [&] { return arm.getJointsState("/a"); },
      [&] { return arm.setJointPositions("/a", {}); },
      [&] { return arm.moveJointPositions("/a", {}); },
      [&] { return arm.assembleRobot("/a", "g", "a"); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i](), json::object()) << "call " << i;
  bridge.enqueue(Reply::json(204, ""));
  EXPECT_EQ(arm.getJointsState("/a"), json::object());

  const std::string document = R"({"limits":[[-1.5,1.5]],"names":["j1"],"extra":null})";
  bridge.enqueue(Reply::json(200, document));
  EXPECT_EQ(arm.getDofLimits("/a"), json::parse(document));
  bridge.enqueue(Reply::json(201, "null"));
  EXPECT_EQ(arm.create("/a"), json(nullptr));
}

TEST_F(ArticulationTest, FailureRepliesThrowAlsoFromRemove) {
  bridge.enqueue(Reply::json(404, "not found"));
  EXPECT_HTTP_ERROR(arm.getDofLimits("/World/arm"), 404, "not found");
  bridge.enqueue(Reply::json(500, "{\"error\":\"busy\"}"));
  EXPECT_THROW(arm.remove("/World/arm"), HTTPError);
  bridge.enqueue(Reply::json(200, "removed, not JSON"));
  EXPECT_THROW(arm.remove("/World/arm"), json::parse_error);
  bridge.enqueue(Reply::json(200, "{}"));
  EXPECT_NO_THROW(arm.remove("/World/arm"));
  bridge.enqueue(Reply::json(200, "<html>"));
  EXPECT_THROW((void)arm.getDriverJoint("/World/arm"), json::parse_error);
}

TEST_F(ArticulationTest, StreamOperationsOpenTheClientsStreams) {
  WebSocketStream joints = arm.streamJointPositions("/World/robot");
  WebSocketStream state = arm.streamArticulationState("/World/robot");
  const auto first = bridge.webSocket(0);
  const auto second = bridge.webSocket(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->target(), "/articulations//World/robot/stream_joint_positions");
  EXPECT_EQ(second->target(), "/articulations//World/robot/stream_articulation_state");
  EXPECT_EQ(bridge.requestCount(), 2u) << "no REST request precedes a stream";

  bridge.setUpgradeAnswer(testing::UpgradeAnswer::refuse);
  EXPECT_THROW_MSG(arm.streamArticulationState("/World/robot"), std::runtime_error,
                   "WebSocket handshake failed for " + bridge.wsBaseUrl() +
                       "articulations//World/robot/stream_articulation_state: " +
                       curl_easy_strerror(CURLE_HTTP_RETURNED_ERROR) + " (status 404)");
}

}  // namespace
}  // namespace corvane
