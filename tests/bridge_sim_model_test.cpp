// The simulated bridge's scene model without the server: URDF loading, joint motion in fixed steps,
// surface gripper updates, routes, and the render.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "api_error.hpp"
#include "articulation.hpp"
#include "expect_throw.hpp"
#include "frame_writer.hpp"
#include "render.hpp"
#include "robot_model.hpp"
#include "routes.hpp"
#include "scene.hpp"
#include "surface_gripper.hpp"

namespace bridge_sim {
namespace {

using nlohmann::json;

std::string urdf(const std::string& body) { return "<robot name=\"r\">" + body + "</robot>"; }

const std::string kTwoLinks =
    "<link name=\"a\"/><link name=\"b\"><visual><geometry><sphere radius=\"0.1\"/></geometry></visual></link>";

std::string revolute(const std::string& name, const std::string& parent, const std::string& child,
                     const std::string& extra = "") {
  return "<joint name=\"" + name + "\" type=\"revolute\"><parent link=\"" + parent + "\"/><child link=\"" + child +
         "\"/><axis xyz=\"0 0 2\"/><limit lower=\"-1\" upper=\"1\" velocity=\"0.5\"/>" + extra + "</joint>";
}

TEST(BridgeSimUrdf, ReadsJointsLimitsAxesAndMimics) {
  const RobotModel model = parseUrdf(
      urdf("<link name=\"a\"/><link name=\"b\"/><link name=\"c\"/><link name=\"d\"/>" + revolute("j1", "a", "b") +
           "<joint name=\"j2\" type=\"continuous\"><parent link=\"b\"/><child link=\"c\"/><origin xyz=\"0 0 0.3\" "
           "rpy=\"0 0 1.5\"/>"
           "<limit velocity=\"3\"/></joint>" +
           revolute("j3", "b", "d", "<mimic joint=\"j1\" multiplier=\"-2\" offset=\"0.1\"/>")));
  EXPECT_EQ(model.name, "r");
  ASSERT_EQ(model.joints.size(), 3u);
  ASSERT_EQ(model.dofs.size(), 2u) << "the mimic joint is not a degree of freedom";
  EXPECT_EQ(model.joints[model.dofs[1]].name, "j2");
  EXPECT_TRUE(std::isinf(model.joints[1].upper));
  EXPECT_DOUBLE_EQ(model.joints[1].velocity, 3.0);
  EXPECT_DOUBLE_EQ(model.joints[0].axis.z, 1.0) << "axes are normalised";
  ASSERT_TRUE(model.joints[2].mimic);
  EXPECT_EQ(model.joints[2].mimic->driver, 0u);
  EXPECT_DOUBLE_EQ(model.joints[2].mimic->multiplier, -2.0);
  EXPECT_EQ(model.links[*model.findLink("a")].name, "a");
  EXPECT_EQ(model.root, 0u);
}

TEST(BridgeSimUrdf, RefusesBrokenDescriptionsWithAReason) {
  EXPECT_THROW_CONTAINING(parseUrdf("<robot><link"), UrdfError, "not well-formed XML");
  EXPECT_THROW_CONTAINING(parseUrdf("<model/>"), UrdfError, "not <robot>");
  EXPECT_THROW_CONTAINING(parseUrdf(urdf("")), UrdfError, "no <link>");
  EXPECT_THROW_CONTAINING(parseUrdf(urdf(kTwoLinks + revolute("j", "a", "zz"))), UrdfError, "unknown child link 'zz'");
  EXPECT_THROW_CONTAINING(parseUrdf(urdf(kTwoLinks)), UrdfError, "one tree");
  EXPECT_THROW_CONTAINING(parseUrdf(urdf(kTwoLinks + revolute("j", "a", "b") + revolute("k", "b", "a"))), UrdfError,
                          "found 0 roots");
  EXPECT_THROW_CONTAINING(
      parseUrdf(urdf(kTwoLinks + "<link name=\"c\"/>" + revolute("j", "a", "c") + revolute("k", "b", "c"))), UrdfError,
      "two parent");
  EXPECT_THROW_CONTAINING(
      parseUrdf(
          urdf(kTwoLinks + "<joint name=\"j\" type=\"revolute\"><parent link=\"a\"/><child link=\"b\"/></joint>")),
      UrdfError, "lacks its <limit>");
  EXPECT_THROW_CONTAINING(
      parseUrdf(urdf(kTwoLinks + "<joint name=\"j\" type=\"revolute\"><parent link=\"a\"/><child link=\"b\"/><limit "
                                 "lower=\"1\" upper=\"-1\" velocity=\"1\"/></joint>")),
      UrdfError, "lower limit above");
  EXPECT_THROW_CONTAINING(
      parseUrdf(urdf(kTwoLinks + "<joint name=\"j\" type=\"revolute\"><parent link=\"a\"/><child link=\"b\"/><limit "
                                 "lower=\"-1\" upper=\"1\" velocity=\"0\"/></joint>")),
      UrdfError, "positive velocity");
  EXPECT_THROW_CONTAINING(
      parseUrdf(
          urdf(kTwoLinks + "<joint name=\"j\" type=\"floating\"><parent link=\"a\"/><child link=\"b\"/></joint>")),
      UrdfError, "unsupported type 'floating'");
  EXPECT_THROW_CONTAINING(parseUrdf(urdf(kTwoLinks + revolute("j", "a", "b", "<origin xyz=\"0 0\"/>"))), UrdfError,
                          "3 numbers");
  EXPECT_THROW_CONTAINING(parseUrdf(urdf(kTwoLinks + revolute("j", "a", "b", "<mimic joint=\"j\"/>"))), UrdfError,
                          "names no other joint");
}

TEST(BridgeSimUrdf, LoadsOnlyReadableRegularFiles) {
  const std::string path = ::testing::TempDir() + "bridge_sim_arm.urdf";
  std::ofstream(path) << urdf(kTwoLinks + revolute("j", "a", "b"));
  EXPECT_EQ(loadUrdfFile(path).dofs.size(), 1u);
  EXPECT_THROW(loadUrdfFile(path + ".missing"), UrdfError);
  EXPECT_THROW(loadUrdfFile(::testing::TempDir()), UrdfError) << "a directory";
  EXPECT_THROW(loadUrdfFile("/dev/zero"), UrdfError) << "a device never ends; it must not be read";
  EXPECT_THROW(loadUrdfFile(""), UrdfError);
  std::remove(path.c_str());
}

TEST(BridgeSimUrdf, BuiltInArmHasSevenDrivenJointsAndAFlange) {
  const auto arm = builtInArm();
  EXPECT_EQ(arm->dofs.size(), 7u);
  EXPECT_TRUE(arm->findLink("flange"));
  for (const std::size_t j : arm->dofs) {
    EXPECT_GT(arm->joints[j].velocity, 0);
    EXPECT_LE(arm->joints[j].lower, 0);
    EXPECT_GE(arm->joints[j].upper, 0);
  }
}

ArticulationState arm() { return ArticulationState(builtInArm(), std::nullopt, {}); }

TEST(BridgeSimMotion, MovesAtTheVelocityLimitAndLandsExactly) {
  ArticulationState a = arm();
  const double dt = 1.0 / 120;
  const JointCommand command = a.checkCommand({1.0, -0.5}, std::vector<std::int64_t>{0, 1});
  EXPECT_EQ(a.moveTo(command, 1, dt), 60) << "1 rad at 2 rad/s is half a second";
  a.advance(30, dt);
  EXPECT_NEAR(a.positions()[0], 0.5, 1e-12);
  EXPECT_EQ(a.positions()[1], -0.5) << "arrived exactly";
  EXPECT_NEAR(a.positions()[1], -0.5, 1e-12) << "joint 2 needed only 0.25 s";
  EXPECT_NEAR(a.velocities()[0], 2.0, 1e-9);
  a.advance(1, dt);
  EXPECT_NEAR(a.velocities()[1], 0.0, 1e-9) << "arrived joints stand still";
  a.advance(29, dt);
  EXPECT_EQ(a.positions()[0], 1.0);
  EXPECT_TRUE(a.owns(command, 1));
  a.setPositions(a.checkCommand({0.2}, std::vector<std::int64_t>{1}), 2);
  EXPECT_FALSE(a.owns(command, 1)) << "a later command on one of its joints supersedes the move";
}

TEST(BridgeSimMotion, MotionsEndExactlyOnThePredictedStep) {
  const double dt = 1.0 / 120;
  for (const double from : {0.3, -0.7, 0.1, 1.3}) {
    for (const double to : {0.5, 0.0, -1.1, 2.2}) {
      ArticulationState a = arm();
      a.setPositions(a.checkCommand({from}, std::vector<std::int64_t>{0}), 1);
      const std::int64_t steps = a.moveTo(a.checkCommand({to}, std::vector<std::int64_t>{0}), 2, dt);
      a.advance(steps - 1, dt);
      if (steps > 0) {
        EXPECT_NE(a.positions()[0], to) << from << " -> " << to << " arrived a step early";
      }
      a.advance(1, dt);
      EXPECT_EQ(a.positions()[0], to) << from << " -> " << to << " in " << steps << " steps";
    }
  }
}

TEST(BridgeSimMotion, ManyStepsAtOnceEqualOneAtATime) {
  ArticulationState batch = arm(), single = arm();
  const double dt = 1.0 / 120;
  const std::vector<double> target{0.7, -1.1, 2.0, -2.5, 1.0, 0.3, -0.2};
  batch.moveTo(batch.checkCommand(target, std::nullopt), 1, dt);
  single.moveTo(single.checkCommand(target, std::nullopt), 1, dt);
  batch.advance(77, dt);
  for (int i = 0; i < 77; ++i) single.advance(1, dt);
  for (std::size_t d = 0; d < 7; ++d) {
    EXPECT_NEAR(batch.positions()[d], single.positions()[d], 1e-9) << d;
    EXPECT_NEAR(batch.velocities()[d], single.velocities()[d], 1e-6) << d;
  }
}

std::string commandError(ArticulationState& a, const std::vector<double>& values,
                         const std::optional<std::vector<std::int64_t>>& indices) {
  try {
    a.checkCommand(values, indices);
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 400u);
    return e.what();
  }
  return "(accepted)";
}

TEST(BridgeSimMotion, RefusesCommandsThatDoNotFit) {
  ArticulationState a = arm();
  EXPECT_NE(commandError(a, {0, 0}, std::nullopt).find("7 joints are driven"), std::string::npos);
  EXPECT_NE(commandError(a, {0, 0}, std::vector<std::int64_t>{1}).find("\"indices\" has 1"), std::string::npos);
  EXPECT_NE(commandError(a, {0}, std::vector<std::int64_t>{7}).find("outside 0..6"), std::string::npos);
  EXPECT_NE(commandError(a, {0}, std::vector<std::int64_t>{-1}).find("outside"), std::string::npos);
  EXPECT_NE(commandError(a, {0, 0}, std::vector<std::int64_t>{2, 2}).find("twice"), std::string::npos);
  EXPECT_NE(commandError(a, {3.0}, std::vector<std::int64_t>{1}).find("outside its limits"), std::string::npos);
  std::vector<bool> driven(7, true);
  driven[3] = false;
  a.setDriven(driven);
  EXPECT_NE(commandError(a, {0.1}, std::vector<std::int64_t>{3}).find("not driven"), std::string::npos);
  EXPECT_NO_THROW(a.checkCommand({0, 0, 0, 0, 0, 0}, std::nullopt)) << "without indices: the driven joints";
}

TEST(BridgeSimMotion, LinksFollowTheJoints) {
  ArticulationState a = arm();
  const auto straight = a.linkPoses();
  const std::size_t flange = *a.model().findLink("flange");
  EXPECT_NEAR(straight[flange].position.z, 1.33, 1e-9);
  a.setPositions(a.checkCommand({M_PI / 2}, std::vector<std::int64_t>{1}), 1);  // shoulder pitch about y
  const auto bent = a.linkPoses();
  EXPECT_NEAR(bent[flange].position.z, 0.35, 1e-9);
  EXPECT_NEAR(bent[flange].position.x, 0.98, 1e-9);
}

TEST(BridgeSimGripper, PropertyPatchesChangeOnlyWhatIsSentAndNothingOnAFault) {
  SurfaceGripperState g("/World/g");
  const json before = g.propertiesJson();
  g.patchProperties({{"shear_force_limit", 7.5},
                     {"rotation_limits", {{"x", {{"minimum", -1.0}, {"maximum", 1.0}}}, {"y", nullptr}}}});
  json expected = before;
  expected["shear_force_limit"] = 7.5;
  expected["rotation_limits"]["x"] = {{"maximum", 1.0}, {"minimum", -1.0}};
  EXPECT_EQ(g.propertiesJson(), expected);
  const json changed = g.propertiesJson();
  for (const json& bad :
       {json{{"coaxial_force_limit", "strong"}}, json{{"coaxial_force_limit", 1.0}, {"retry_interval", nullptr}},
        json{{"forward_axis", "W"}}, json{{"max_grip_distance", -1.0}}, json{{"colour", 1}},
        json{{"translation_limits", {{"x", {{"minimum", 2.0}, {"maximum", 1.0}}}}}}}) {
    EXPECT_THROW(g.patchProperties(bad), ApiError) << bad;
    EXPECT_EQ(g.propertiesJson(), changed) << "nothing changes when any member is bad: " << bad;
  }
  g.patchProperties({{"forward_axis", "x"}});
  EXPECT_EQ(g.propertiesJson()["forward_axis"], "X");
}

TEST(BridgeSimGripper, AttachmentPointsFollowJointPathsAndKeepTheirSettings) {
  SurfaceGripperState g("/World/g");
  ASSERT_EQ(g.attachmentPointsJson().size(), 1u);
  g.patchAttachmentPoints({{"clearance_offset", 0.01}});
  g.patchAttachmentPoints(
      {{"joint_paths", {"/World/g/attachment_point_0", "/World/g/p1"}}, {"z_axis_translation_drive_damping", 3.0}});
  const json points = g.attachmentPointsJson();
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0]["clearance_offset"], 0.01) << "a kept point keeps its settings";
  EXPECT_EQ(points[1]["clearance_offset"], 0.0);
  EXPECT_EQ(points[1]["z_axis_translation_drive_damping"], 3.0);
  EXPECT_THROW_CONTAINING(g.patchAttachmentPoints({{"joint_paths", {"/a", "/a"}}}), ApiError, "twice");
  EXPECT_THROW_CONTAINING(g.patchAttachmentPoints({{"local_pose_0", {{"orientation", {0, 0, 0, 0}}}}}), ApiError,
                          "zero quaternion");
  EXPECT_EQ(g.attachmentPointsJson(), points);
  g.patchAttachmentPoints({{"local_pose_1", {{"position", {1, 2, 3}}, {"orientation", {2, 0, 0, 0}}}}});
  EXPECT_EQ(g.attachmentPointsJson()[1]["local_pose_1"]["orientation"], json({1.0, 0.0, 0.0, 0.0})) << "normalised";
}

TEST(BridgeSimGripper, TransitionsTakeTheirStepsAndSettle) {
  SurfaceGripperState g("/World/g");
  EXPECT_EQ(g.actuate(true, 10, 1), 10 + SurfaceGripperState::kActuationSteps);
  EXPECT_EQ(g.status(), GripperStatus::Closing);
  EXPECT_EQ(g.actuate(true, 20, 2), 10 + SurfaceGripperState::kActuationSteps) << "closing again does not restart";
  EXPECT_EQ(g.commandId(), 1u);
  g.advanceTo(10 + SurfaceGripperState::kActuationSteps - 1);
  EXPECT_EQ(g.status(), GripperStatus::Closing);
  g.advanceTo(10 + SurfaceGripperState::kActuationSteps);
  EXPECT_EQ(g.status(), GripperStatus::Closed);
  EXPECT_EQ(g.actuate(true, 100, 3), 100) << "already closed: done at once";
  EXPECT_EQ(g.actuate(false, 101, 4), 101 + SurfaceGripperState::kActuationSteps);
  EXPECT_EQ(g.status(), GripperStatus::Opening);
  EXPECT_EQ(g.commandId(), 4u);
}

TEST(BridgeSimScene, TimeAdvancesInWholeStepsOfTheClock) {
  auto now = std::chrono::steady_clock::now();
  Scene scene(100.0, [&] { return now; });
  scene.createArticulation("/World/arm", std::nullopt);
  const Deferred move = scene.moveJoints("/World/arm", {1.0}, std::vector<std::int64_t>{0}, false);
  EXPECT_EQ(move.endStep, 50);
  now += std::chrono::milliseconds(255);
  EXPECT_EQ(scene.step(), 25);
  EXPECT_NEAR(scene.jointsState("/World/arm")["joint_positions"][0].get<double>(), 0.5, 1e-9);
  now += std::chrono::milliseconds(300);
  const json done = move.finish();
  EXPECT_EQ(done["completed"], true);
  EXPECT_EQ(done["joint_positions"][0], 1.0);
  EXPECT_EQ(scene.timeOfStep(50) - scene.timeOfStep(0), std::chrono::milliseconds(500));
}

TEST(BridgeSimRoutes, SplitsPrimPathsFromOperations) {
  Scene scene;
  const auto route = matchRoute("/articulations//World/arm/dof_limits", scene);
  ASSERT_TRUE(route);
  EXPECT_EQ(route->primPath, "/World/arm");
  EXPECT_EQ(route->operation, "dof_limits");
  EXPECT_TRUE(matchRoute("/cameras", scene)->collectionPath);
  EXPECT_FALSE(matchRoute("/camera", scene));
  EXPECT_FALSE(matchRoute("/camerasX/a", scene));
  EXPECT_EQ(matchRoute("/surface_grippers//World/g/status?x=1", scene)->operation, "status");
  EXPECT_EQ(matchRoute("/cameras//World/my%20cam/capture", scene)->primPath, "/World/my cam");
  EXPECT_EQ(decodeTargetPath("/a%2"), "/a%2") << "a broken escape stays as it is";
  // A gripper whose last segment looks like an operation: the object that exists wins.
  scene.createGripper("/World/open");
  const auto object = matchRoute("/surface_grippers//World/open", scene);
  EXPECT_EQ(object->primPath, "/World/open");
  EXPECT_EQ(object->operation, "");
  EXPECT_EQ(matchRoute("/surface_grippers//World/open/open", scene)->primPath, "/World/open");
}

TEST(BridgeSimFrame, FrameBuiltInPlaceEqualsTheCopiedOne) {
  for (const std::size_t note : {std::size_t{0}, std::size_t{100000}}) {  // the second outgrows the head room
    for (const bool expect : {false, true}) {
      frame_writer::FrameWriter writer;
      if (expect) writer.expectPayload(6 + 16);
      const std::size_t bytes = writer.reserve("rgb", {1, 2, 3}, "uint8", 6);
      for (int i = 0; i < 6; ++i) writer.data(bytes)[i] = static_cast<char>('a' + i);
      const float depth[4] = {1.5f, 2.5f, -1.0f, 0.0f};
      writer.add("depth", {2, 2}, "float32", depth, sizeof depth);
      writer.structure()["note"] = std::string(note, 'n');
      const std::string copied = writer.finish();
      const std::string inPlace = std::move(writer).finish();
      EXPECT_EQ(inPlace, copied) << "note " << note << ", expected payload " << expect;
      EXPECT_EQ(copied.compare(copied.size() - 22, 6, "abcdef"), 0);
    }
  }
}

RenderInput smallView() {
  RenderInput input;
  input.width = 64;
  input.height = 48;
  input.camera = {{2, 0, 1}, lookRotation({-2, 0, -0.5}, {0, 0, 1})};
  return input;
}

struct Images {
  std::string rgb, depth, semantic;
};

Images draw(const RenderInput& input) {
  const std::size_t n = static_cast<std::size_t>(input.width * input.height);
  Images images{std::string(n * 3, '\0'), std::string(n * 4, '\0'), std::string(n * 4, '\0')};
  render(input, {images.rgb.data(), images.depth.data(), images.semantic.data()});
  return images;
}

TEST(BridgeSimRender, DrawsGroundSkyAndCapsulesDeterministically) {
  RenderInput input = smallView();
  const Images empty = draw(input);
  float depth = 0;
  std::memcpy(&depth, empty.depth.data(), 4);
  EXPECT_TRUE(std::isinf(depth)) << "the top-left pixel looks at the sky";
  std::uint32_t id = 9;
  std::memcpy(&id, empty.semantic.data() + empty.semantic.size() - 4, 4);
  EXPECT_EQ(id, kGroundId) << "the bottom-right pixel looks at the ground";
  input.capsules.push_back({{0, 0, 0}, {0, 0, 1}, 0.2, {255, 0, 0}, 7});
  const Images robot = draw(input);
  EXPECT_EQ(draw(input).rgb, robot.rgb) << "same scene, same pixels";
  const std::size_t centre = 24 * 64 + 32;
  std::memcpy(&id, robot.semantic.data() + centre * 4, 4);
  EXPECT_EQ(id, 7u);
  std::memcpy(&depth, robot.depth.data() + centre * 4, 4);
  EXPECT_GT(depth, 1.6f);
  EXPECT_LT(depth, 2.0f) << "the capsule's near side, about 1.8 m along the optical axis";
  EXPECT_NE(robot.rgb, empty.rgb);
  EXPECT_EQ(static_cast<unsigned char>(robot.rgb[centre * 3 + 1]), 0u) << "a pure red capsule stays red";
}

}  // namespace
}  // namespace bridge_sim
