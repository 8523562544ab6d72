// The library's families against the simulated bridge, end to end: every operation reaches a route that
// does what it says, and the bridge's faults come back as HTTPError with their statuses.
#include <gtest/gtest.h>

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

  const json properties =
      grippers.setProperties("/World/gripper", 20.0, std::nullopt, 0.02, std::nullopt, AxisLimits{AxisRange{-0.5, 0.5}},
                             std::nullopt, "y")["properties"];
  EXPECT_EQ(properties["coaxial_force_limit"], 20.0);
  EXPECT_EQ(properties["max_grip_distance"], 0.02);
  EXPECT_EQ(properties["shear_force_limit"], 100.0) << "not sent, not changed";
  EXPECT_EQ(properties["rotation_limits"], json({{"x", {{"maximum", 0.5}, {"minimum", -0.5}}}, {"y", nullptr}, {"z", nullptr}}));
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
  EXPECT_EQ(failureStatus([&] { grippers.setAttachmentPointProperties("/World/gripper", std::nullopt, json(nullptr)); }), 400);

  grippers.remove("/World/gripper");
  EXPECT_EQ(failureStatus([&] { grippers.get("/World/gripper"); }), 404);
  EXPECT_EQ(failureStatus([&] { grippers.remove("/World/gripper"); }), 404);
  EXPECT_EQ(failureStatus([&] { grippers.create("relative/path"); }), 400);
}

}  // namespace
}  // namespace corvane
