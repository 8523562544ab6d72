// The library's families against the simulated bridge, end to end: every operation reaches a route that
// does what it says, and the bridge's faults come back as HTTPError with their statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "sim_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::SimBridge;

// The status of the HTTPError that `call` throws (0 when it throws none).
template <typename Call>
long failureStatus(Call call) {
  try {
    call();
  } catch (const HTTPError& e) {
    EXPECT_TRUE(json::parse(e.body()).contains("error")) << e.body();
    return e.status();
  }
  return 0;
}

class BridgeSimFamilies : public ::testing::Test {
 protected:
  SimBridge bridge_;
  IsaacSimClient& client_ = bridge_.client();
};

TEST_F(BridgeSimFamilies, SurfaceGripperOperations) {
  SurfaceGripper& grippers = client_.surfaceGripper;
  EXPECT_EQ(grippers.create("/World/gripper")["status"], "open");
  EXPECT_EQ(failureStatus([&] { grippers.create("/World/gripper"); }), 409);
  EXPECT_EQ(grippers.close("/World/gripper", true)["status"], "closing");
  EXPECT_EQ(grippers.getStatus("/World/gripper")["status"], "closing");
  EXPECT_EQ(grippers.close("/World/gripper")["status"], "closed") << "synchronous: answers when closed";
  EXPECT_EQ(grippers.open("/World/gripper", false)["status"], "open");

  const json properties = grippers.setProperties("/World/gripper", 20.0, std::nullopt, 0.02, std::nullopt,
                                                 AxisLimits{AxisRange{-0.5, 0.5}}, std::nullopt, "y")["properties"];
  EXPECT_EQ(properties["coaxial_force_limit"], 20.0);
  EXPECT_EQ(properties["max_grip_distance"], 0.02);
  EXPECT_EQ(properties["shear_force_limit"], 100.0) << "not sent, not changed";
  EXPECT_EQ(properties["rotation_limits"],
            json({{"x", {{"maximum", 0.5}, {"minimum", -0.5}}}, {"y", nullptr}, {"z", nullptr}}));
  EXPECT_EQ(properties["forward_axis"], "Y");
  EXPECT_EQ(grippers.getProperties("/World/gripper")["properties"], properties);
  EXPECT_EQ(failureStatus([&] { grippers.setProperties("/World/gripper", -1.0); }), 400);
  EXPECT_EQ(failureStatus([&] { grippers.setProperties("/World/gripper", std::nullopt, std::nan("")); }), 400)
      << "NaN goes out as null, which is no number";
  EXPECT_EQ(grippers.get("/World/gripper")["properties"], properties) << "refused updates change nothing";

  const json points = grippers.setAttachmentPointProperties(
      "/World/gripper", std::vector<std::string>{"/World/gripper/p0", "/World/gripper/p1"},
      json{{"position", {0.0, 0.0, 0.05}}}, std::nullopt, 500.0, std::nullopt, std::nullopt,
      AxisLimits{std::nullopt, std::nullopt, AxisRange{0.0, 0.01}}, 0.001)["attachment_points"];
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[1]["local_pose_0"]["position"], json({0.0, 0.0, 0.05}));
  EXPECT_EQ(points[0]["z_axis_translation_drive_stiffness"], 500.0);
  EXPECT_EQ(points[0]["translation_limits"]["z"]["maximum"], 0.01);
  EXPECT_EQ(grippers.getAttachmentPoints("/World/gripper")["attachment_points"], points);
  EXPECT_EQ(
      failureStatus([&] { grippers.setAttachmentPointProperties("/World/gripper", std::nullopt, json(nullptr)); }),
      400);

  grippers.remove("/World/gripper");
  EXPECT_EQ(failureStatus([&] { (void)grippers.get("/World/gripper"); }), 404);
  EXPECT_EQ(failureStatus([&] { grippers.remove("/World/gripper"); }), 404);
  EXPECT_EQ(failureStatus([&] { grippers.create("relative/path"); }), 400);
}

TEST_F(BridgeSimFamilies, ArticulationOperations) {
  Articulation& arms = client_.articulation;
  const json created = arms.create("/World/arm");
  EXPECT_EQ(created["joint_names"].size(), 7u);
  EXPECT_EQ(failureStatus([&] { arms.create("/World/arm"); }), 409);
  EXPECT_EQ(failureStatus([&] { arms.create("/World/other", "/nonexistent/arm.urdf"); }), 400);
  EXPECT_EQ(arms.getDriverJoint("/World/arm")["driver_joint"], nullptr);
  const json limits = arms.getDofLimits("/World/arm");
  EXPECT_EQ(limits["upper_limits"][1], 1.8);

  EXPECT_EQ(arms.setJointPositions("/World/arm", {0.3, -0.3}, std::vector<int>{0, 2})["joint_positions"],
            json({0.3, 0.0, -0.3, 0.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(failureStatus([&] { arms.setJointPositions("/World/arm", {0.3, 0.1}, std::vector<int>{0}); }), 400);
  EXPECT_EQ(failureStatus([&] { arms.setJointPositions("/World/arm", {std::nan("")}, std::vector<int>{0}); }), 400);
  const json moved = arms.moveJointPositions("/World/arm", {0.5}, std::vector<int>{0});
  EXPECT_EQ(moved["completed"], true);
  EXPECT_EQ(moved["joint_positions"][0], 0.5);
  // 2 rad at 2 rad/s: a second of motion. The velocity is that of the last step, so it is read once a step
  // has moved the joint; a loaded sanitizer build may only read it after the arrival.
  EXPECT_EQ(arms.moveJointPositions("/World/arm", {2.5}, std::vector<int>{0}, true)["completed"], false);
  json moving = arms.getJointsState("/World/arm");
  for (int i = 0; i < 1000 && moving["joint_positions"][0].get<double>() == 0.5; ++i) {
    moving = arms.getJointsState("/World/arm");
  }
  if (moving["joint_positions"][0].get<double>() < 2.5) {
    EXPECT_NEAR(moving["joint_velocities"][0].get<double>(), 2.0, 1e-9) << "moving at its limit";
  }

  EXPECT_EQ(arms.setDrivenJoints("/World/arm", {"joint1"})["driven_joints"], json({"joint1"}));
  EXPECT_EQ(failureStatus([&] { arms.setDrivenJoints("/World/arm", {"elbow"}); }), 400);
  EXPECT_EQ(failureStatus([&] { arms.setJointPositions("/World/arm", {0.0, 0.0}); }), 400) << "one joint is driven";

  client_.surfaceGripper.create("/World/gripper");
  EXPECT_EQ(arms.assembleRobot("/World/arm", "/World/gripper", "flange")["mask_collisions"], true);
  EXPECT_EQ(failureStatus([&] { arms.assembleRobot("/World/arm", "/World/none", "flange"); }), 400);
  EXPECT_EQ(client_.surfaceGripper.get("/World/gripper")["attached_to"], "/World/arm");
  arms.remove("/World/arm");
  EXPECT_EQ(failureStatus([&] { (void)arms.getJointsState("/World/arm"); }), 404);
  EXPECT_EQ(failureStatus([&] { arms.remove("/World/arm"); }), 404);
}

// The next JSON text frame within a few seconds.
json nextSample(WebSocketStream& stream) {
  const std::optional<std::string> text = stream.receiveFor(5000ms);
  if (!text) throw std::runtime_error("no sample within 5 s");
  return json::parse(*text);
}

TEST_F(BridgeSimFamilies, StreamsCarrySamplesAndTargets) {
  Articulation& arms = client_.articulation;
  arms.create("/World/arm");
  WebSocketStream positions = arms.streamJointPositions("/World/arm");
  WebSocketStream state = arms.streamArticulationState("/World/arm");
  EXPECT_EQ(nextSample(positions)["joint_positions"].size(), 7u);
  EXPECT_EQ(nextSample(state)["gripper"], nullptr);

  positions.send(R"({"joint_positions":[-0.25],"indices":[5]})");
  json sample;
  for (int i = 0; i < 300 && !(sample.contains("joint_positions") && sample["joint_positions"][5] == -0.25); ++i) {
    sample = nextSample(positions);
  }
  EXPECT_EQ(sample["joint_positions"][5], -0.25) << "targets sent on the stream move the joint";
  EXPECT_EQ(arms.getJointsState("/World/arm")["joint_positions"][5], -0.25);

  positions.send(R"({"joint_positions":"up"})");
  bool refused = false;
  for (int i = 0; i < 60 && !refused; ++i) refused = nextSample(positions).contains("error");
  EXPECT_TRUE(refused) << "a bad target is answered with an error";

  arms.remove("/World/arm");
  EXPECT_THROW(
      {
        for (int i = 0; i < 500; ++i) (void)state.receiveFor(20ms);
      },
      std::runtime_error)
      << "the bridge closes the stream of a removed articulation";
  EXPECT_THROW((void)arms.streamJointPositions("/World/arm"), std::runtime_error)
      << "no stream for an unknown articulation";
}

TEST_F(BridgeSimFamilies, CameraOperations) {
  Camera& cameras = client_.camera;
  client_.articulation.create("/World/arm");
  EXPECT_EQ(cameras.create("/World/camera", std::vector<int>{160, 120}, 10.0)["resolution"], json({160, 120}));
  EXPECT_EQ(failureStatus([&] { cameras.create("/World/camera"); }), 409);
  EXPECT_EQ(failureStatus([&] { cameras.create("/World/wide", std::vector<int>{100000, 10}); }), 400);

  const CameraFrame frame = cameras.capture("/World/camera");
  ASSERT_EQ(frame.outputs.size(), 2u);
  const CameraOutput* rgb = frame.output("rgb");
  const CameraOutput* depth = frame.output("depth");
  ASSERT_NE(rgb, nullptr);
  ASSERT_NE(depth, nullptr);
  EXPECT_EQ(rgb->shape, (std::vector<std::size_t>{120, 160, 3}));
  EXPECT_EQ(rgb->as<std::uint8_t>().size(), 120u * 160 * 3);
  const auto metres = depth->as<float>();
  EXPECT_TRUE(std::isinf(metres[0])) << "the top-left corner sees the sky";
  EXPECT_GT(metres[metres.size() - 1], 0.5f) << "the bottom-right corner sees the ground";
  EXPECT_LT(metres[metres.size() - 1], 5.0f);
  EXPECT_FALSE(frame.structure.contains("camera_pose"));

  client_.articulation.setJointPositions("/World/arm", {-1.0}, std::vector<int>{1});
  const CameraFrame after =
      cameras.capture("/World/camera", std::vector<std::string>{"semantic_segmentation", "rgb"}, true);
  ASSERT_NE(after.output("rgb"), nullptr);
  EXPECT_NE(after.output("rgb")->data, rgb->data) << "the arm moved";
  const auto ids = after.output("semantic_segmentation")->as<std::uint32_t>();
  EXPECT_NE(std::find(ids.begin(), ids.end(), 2u), ids.end()) << "the arm is in view";
  EXPECT_EQ(after.structure["semantic_segmentation"]["id_to_labels"]["2"], "/World/arm");
  EXPECT_EQ(after.structure["camera_pose"]["orientation"].size(), 4u);
  EXPECT_EQ(after.output("depth"), nullptr);

  EXPECT_EQ(failureStatus([&] { (void)cameras.capture("/World/camera", std::vector<std::string>{"infrared"}); }), 400);
  EXPECT_EQ(cameras.capture("/World/camera", std::vector<std::string>{}).outputs.size(), 0u)
      << "nothing asked, nothing sent";
  cameras.remove("/World/camera");
  EXPECT_EQ(failureStatus([&] { (void)cameras.capture("/World/camera"); }), 404);
  EXPECT_EQ(failureStatus([&] { cameras.remove("/World/camera"); }), 404);
}

}  // namespace
}  // namespace corvane
