// The simulated bridge driven through the client's HTTP verbs: every family's routes, their replies and
// their error statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "sim_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::RawFrame;
using testing::SimBridge;

struct Answer {
  long status;
  json body;
};

class BridgeSimRest : public ::testing::Test {
 protected:
  Answer get(const std::string& path) { return answer(bridge_.client().get(path)); }
  Answer del(const std::string& path) { return answer(bridge_.client().deleteRequest(path)); }
  Answer post(const std::string& path, const json& body) { return answer(bridge_.client().post(path, body.dump())); }
  Answer put(const std::string& path, const json& body) { return answer(bridge_.client().put(path, body.dump())); }
  Answer patch(const std::string& path, const json& body) { return answer(bridge_.client().patch(path, body.dump())); }

  static Answer answer(const HttpResponse& response) { return {response.status, SimBridge::parsed(response)}; }

  void createArm(const std::string& path = "/World/arm") {
    ASSERT_EQ(put("/articulations", {{"prim_path", path}, {"urdf_path", nullptr}}).status, 201);
  }

  SimBridge bridge_;
};

void expectError(const Answer& answer, long status, const std::string& fragment) {
  EXPECT_EQ(answer.status, status) << answer.body;
  ASSERT_TRUE(answer.body.is_object()) << answer.body;
  ASSERT_TRUE(answer.body.contains("error")) << answer.body;
  EXPECT_NE(answer.body["error"].get<std::string>().find(fragment), std::string::npos) << answer.body;
}

TEST_F(BridgeSimRest, ArticulationLifecycle) {
  const Answer created = put("/articulations", {{"prim_path", "/World/arm"}, {"urdf_path", nullptr}});
  EXPECT_EQ(created.status, 201);
  EXPECT_EQ(created.body["prim_path"], "/World/arm");
  EXPECT_EQ(created.body["joint_names"].size(), 7u);
  expectError(put("/articulations", {{"prim_path", "/World/arm"}, {"urdf_path", nullptr}}), 409, "already taken");
  const Answer limits = get("/articulations//World/arm/dof_limits");
  EXPECT_EQ(limits.status, 200);
  EXPECT_EQ(limits.body["lower_limits"].size(), 7u);
  EXPECT_EQ(limits.body["velocity_limits"][0], 2.0);
  EXPECT_EQ(get("/articulations//World/arm/driver_joint").body["driver_joint"], nullptr);
  const Answer state = get("/articulations//World/arm/joints_state");
  EXPECT_EQ(state.body["joint_positions"], json(std::vector<double>(7, 0.0)));
  EXPECT_EQ(state.body["joint_velocities"].size(), 7u);
  EXPECT_EQ(del("/articulations//World/arm").body["removed"], true);
  expectError(get("/articulations//World/arm/joints_state"), 404, "no articulation at '/World/arm'");
  expectError(del("/articulations//World/arm"), 404, "no articulation");
}

TEST_F(BridgeSimRest, ArticulationFromUrdfAndItsFaults) {
  const std::string path = ::testing::TempDir() + "bridge_sim_rest.urdf";
  std::ofstream(path)
      << "<robot name=\"slider\"><link name=\"a\"/><link name=\"b\"/><link name=\"c\"/>"
         "<joint name=\"slide\" type=\"prismatic\"><parent link=\"a\"/><child link=\"b\"/>"
         "<axis xyz=\"1 0 0\"/><limit lower=\"0\" upper=\"0.5\" velocity=\"0.25\"/></joint>"
         "<joint name=\"finger\" type=\"prismatic\"><parent link=\"b\"/><child link=\"c\"/>"
         "<limit lower=\"0\" upper=\"1\" velocity=\"1\"/><mimic joint=\"slide\" multiplier=\"2\"/></joint></robot>";
  const Answer created = put("/articulations", {{"prim_path", "/World/slider"}, {"urdf_path", path}});
  EXPECT_EQ(created.status, 201) << created.body;
  EXPECT_EQ(created.body["robot_name"], "slider");
  EXPECT_EQ(created.body["base_position"], json({0.0, 0.0, 0.0}));
  EXPECT_EQ(get("/articulations//World/slider/dof_limits").body["joint_types"], json({"prismatic"}));
  EXPECT_EQ(get("/articulations//World/slider/driver_joint").body["driver_joint"], "slide");
  createArm("/World/second");
  EXPECT_EQ(get("/articulations//World/second/joints_state").status, 200);
  expectError(put("/articulations", {{"prim_path", "/World/x"}, {"urdf_path", path + ".missing"}}), 400,
              "cannot load the URDF");
  expectError(put("/articulations", {{"prim_path", "/World/x"}, {"urdf_path", "/dev/zero"}}), 400,
              "no such regular file");
  expectError(put("/articulations", {{"prim_path", "World/x"}, {"urdf_path", nullptr}}), 400, "must start with '/'");
  expectError(put("/articulations", {{"prim_path", "/World//x"}, {"urdf_path", nullptr}}), 400, "empty segment");
  expectError(put("/articulations", {{"prim_path", 5}}), 400, "must be a string");
  expectError(put("/articulations", {{"urdf_path", nullptr}}), 400, "missing member \"prim_path\"");
  expectError(put("/articulations", {{"prim_path", "/World/x"}, {"urdf", nullptr}}), 400, "unknown member \"urdf\"");
  std::remove(path.c_str());
}

TEST_F(BridgeSimRest, DrivenJointsSelectWhatCommandsMove) {
  createArm();
  const Answer driven = put("/articulations//World/arm/driven_joints", {{"joint_names", {"joint4", "joint2"}}});
  EXPECT_EQ(driven.body["driven_joints"], json({"joint2", "joint4"})) << "reported in joint order";
  const Answer set = post("/articulations//World/arm/set_j", {{"joint_positions", {0.25, -0.5}}, {"indices", nullptr}});
  EXPECT_EQ(set.status, 200) << set.body;
  EXPECT_EQ(set.body["joint_positions"], json({0.0, 0.25, 0.0, -0.5, 0.0, 0.0, 0.0}));
  expectError(post("/articulations//World/arm/set_j", {{"joint_positions", {0.1}}, {"indices", {0}}}), 400,
              "not driven");
  expectError(put("/articulations//World/arm/driven_joints", {{"joint_names", {"joint9"}}}), 400,
              "no movable joint named 'joint9'");
  expectError(put("/articulations//World/arm/driven_joints", {{"joint_names", {"joint1", "joint1"}}}), 400,
              "listed twice");
  expectError(put("/articulations//World/arm/driven_joints", {{"joint_names", "joint1"}}), 400, "array of strings");
  EXPECT_EQ(get("/articulations//World/arm/joints_state").body["driven_joints"], json({"joint2", "joint4"}))
      << "a refused request changes nothing";
}

TEST_F(BridgeSimRest, SetJointsIsInstantAndChecked) {
  createArm();
  const Answer set = post("/articulations//World/arm/set_j", {{"joint_positions", {1.5, -0.25}}, {"indices", {6, 1}}});
  EXPECT_EQ(set.body["joint_positions"], json({0.0, -0.25, 0.0, 0.0, 0.0, 0.0, 1.5}));
  EXPECT_EQ(get("/articulations//World/arm/joints_state").body["joint_velocities"], json(std::vector<double>(7, 0.0)));
  expectError(post("/articulations//World/arm/set_j", {{"joint_positions", {1.0, 2.0}}, {"indices", {0}}}), 400,
              "\"indices\" has 1");
  expectError(post("/articulations//World/arm/set_j", {{"joint_positions", {1.0}}, {"indices", nullptr}}), 400,
              "7 joints are driven");
  expectError(post("/articulations//World/arm/set_j", {{"joint_positions", {9.0}}, {"indices", {0}}}), 400,
              "outside its limits");
  expectError(post("/articulations//World/arm/set_j", {{"joint_positions", {nullptr}}, {"indices", {0}}}), 400,
              "finite number");
  expectError(post("/articulations//World/arm/set_j", {{"joint_positions", {0.5}}, {"indices", {1.5}}}), 400,
              "must be an integer");
  expectError(post("/articulations//World/arm/set_j", {{"indices", nullptr}}), 400,
              "missing member \"joint_positions\"");
  expectError(post("/articulations//World/nobody/set_j", {{"joint_positions", {0.5}}, {"indices", {0}}}), 404,
              "no articulation");
}

TEST_F(BridgeSimRest, SynchronousMoveAnswersWhenTheMotionEnds) {
  createArm();
  const auto started = std::chrono::steady_clock::now();
  const Answer moved =
      post("/articulations//World/arm/move_j", {{"joint_positions", {0.5}}, {"indices", {0}}, {"asynchronous", false}});
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(moved.status, 200) << moved.body;
  EXPECT_EQ(moved.body["completed"], true);
  EXPECT_DOUBLE_EQ(moved.body["duration"].get<double>(), 0.25) << "0.5 rad at 2 rad/s";
  EXPECT_EQ(moved.body["joint_positions"][0], 0.5);
  EXPECT_GE(took, 240ms);
  EXPECT_LT(took, 5s) << "generous bound: a busy machine";
}

TEST_F(BridgeSimRest, AsynchronousMoveAnswersAtOnceAndRuns) {
  createArm();
  const Answer moving = post("/articulations//World/arm/move_j",
                             {{"joint_positions", {-1.0, 1.0}}, {"indices", {1, 2}}, {"asynchronous", true}});
  EXPECT_EQ(moving.status, 202) << moving.body;
  EXPECT_EQ(moving.body["completed"], false);
  EXPECT_DOUBLE_EQ(moving.body["duration"].get<double>(), 0.5);
  EXPECT_EQ(moving.body["joint_targets"][1], -1.0);
  std::this_thread::sleep_for(100ms);
  const json mid = get("/articulations//World/arm/joints_state").body;
  EXPECT_LT(mid["joint_positions"][1].get<double>(), 0.0);
  EXPECT_GT(mid["joint_positions"][1].get<double>(), -1.0);
  EXPECT_DOUBLE_EQ(mid["joint_velocities"][1].get<double>(), -2.0);
  // A synchronous move that a later command takes over still answers, and says it did not complete.
  std::thread later([&] {
    std::this_thread::sleep_for(50ms);
    post("/articulations//World/arm/set_j", {{"joint_positions", {0.0}}, {"indices", {2}}});
  });
  const Answer overtaken = post("/articulations//World/arm/move_j",
                                {{"joint_positions", {-1.5, 2.5}}, {"indices", {1, 2}}, {"asynchronous", false}});
  later.join();
  EXPECT_EQ(overtaken.body["completed"], false) << overtaken.body;
  EXPECT_EQ(
      post("/articulations//World/arm/move_j", {{"joint_positions", {0.0}}, {"indices", {3}}, {"asynchronous", true}})
          .status,
      200)
      << "nothing to move: complete at once";
}

TEST_F(BridgeSimRest, AssemblyNeedsAnExistingGripperAndLink) {
  createArm();
  expectError(post("/articulations//World/arm/assemble_robot", {{"gripper_id", "/World/g"},
                                                                {"arm_mount_link", "flange"},
                                                                {"gripper_mount_link", nullptr},
                                                                {"offset", nullptr},
                                                                {"mask_collisions", true}}),
              400, "names no surface gripper");
  ASSERT_EQ(put("/surface_grippers", {{"prim_path", "/World/g"}}).status, 201);
  expectError(post("/articulations//World/arm/assemble_robot",
                   {{"gripper_id", "/World/g"}, {"arm_mount_link", "hand"}, {"mask_collisions", true}}),
              400, "no link named 'hand'");
  expectError(post("/articulations//World/arm/assemble_robot",
                   {{"gripper_id", "/World/g"}, {"arm_mount_link", "flange"}, {"offset", {{"position", {1, 2}}}}}),
              400, "3 numbers");
  const Answer assembled = post("/articulations//World/arm/assemble_robot", {{"gripper_id", "/World/g"},
                                                                             {"arm_mount_link", "flange"},
                                                                             {"gripper_mount_link", "base"},
                                                                             {"offset", {{"position", {0, 0, 0.05}}}},
                                                                             {"mask_collisions", true}});
  EXPECT_EQ(assembled.status, 200) << assembled.body;
  EXPECT_EQ(assembled.body["offset"]["position"], json({0.0, 0.0, 0.05}));
  EXPECT_EQ(get("/surface_grippers//World/g").body["attached_to"], "/World/arm");
  createArm("/World/other");
  expectError(
      post("/articulations//World/other/assemble_robot", {{"gripper_id", "/World/g"}, {"arm_mount_link", "flange"}}),
      409, "already assembled onto '/World/arm'");
  EXPECT_EQ(del("/surface_grippers//World/g").status, 200);
  EXPECT_EQ(
      post("/articulations//World/other/assemble_robot", {{"gripper_id", "/World/g"}, {"arm_mount_link", "flange"}})
          .status,
      400)
      << "a removed gripper is gone from its arm too";
}

TEST_F(BridgeSimRest, SurfaceGripperLifecycleAndActions) {
  const Answer created = put("/surface_grippers", {{"prim_path", "/World/g"}});
  EXPECT_EQ(created.status, 201);
  EXPECT_EQ(created.body["status"], "open");
  expectError(put("/surface_grippers", {{"prim_path", "/World/g"}}), 409, "already taken");
  const Answer described = get("/surface_grippers//World/g");
  EXPECT_EQ(described.body["attached_to"], nullptr);
  EXPECT_EQ(described.body["properties"]["forward_axis"], "Z");
  EXPECT_EQ(described.body["attachment_points"].size(), 1u);
  const Answer closing = post("/surface_grippers//World/g/close", {{"asynchronous", true}});
  EXPECT_EQ(closing.status, 202);
  EXPECT_EQ(closing.body["status"], "closing");
  EXPECT_EQ(get("/surface_grippers//World/g/status").body["status"], "closing");
  const Answer closed = post("/surface_grippers//World/g/close", {{"asynchronous", false}});
  EXPECT_EQ(closed.body["status"], "closed") << closed.body;
  EXPECT_EQ(closed.body["completed"], true);
  const Answer opened = post("/surface_grippers//World/g/open", {{"asynchronous", false}});
  EXPECT_EQ(opened.body["status"], "open");
  expectError(post("/surface_grippers//World/g/open", {{"asynchronous", "yes"}}), 400, "true or false");
  expectError(get("/surface_grippers//World/none/status"), 404, "no surface gripper at '/World/none'");
  EXPECT_EQ(del("/surface_grippers//World/g").body["removed"], true);
  expectError(get("/surface_grippers//World/g"), 404, "no surface gripper");
}

TEST_F(BridgeSimRest, SurfaceGripperPropertiesArePartiallyUpdated) {
  put("/surface_grippers", {{"prim_path", "/World/g"}});
  const json before = get("/surface_grippers//World/g/properties").body["properties"];
  const Answer patched =
      patch("/surface_grippers//World/g/properties",
            {{"coaxial_force_limit", 12.5},
             {"rotation_limits", {{"x", {{"minimum", 0.0}, {"maximum", 1.0}}}, {"y", nullptr}, {"z", nullptr}}}});
  EXPECT_EQ(patched.status, 200) << patched.body;
  json expected = before;
  expected["coaxial_force_limit"] = 12.5;
  expected["rotation_limits"] = {{"x", {{"minimum", 0.0}, {"maximum", 1.0}}}, {"y", nullptr}, {"z", nullptr}};
  EXPECT_EQ(patched.body["properties"], expected);
  EXPECT_EQ(get("/surface_grippers//World/g/properties").body["properties"], expected);
  EXPECT_EQ(patch("/surface_grippers//World/g/properties", json::object()).body["properties"], expected)
      << "{} changes nothing";
  expectError(patch("/surface_grippers//World/g/properties", {{"shear_force_limit", 1.0}, {"retry_interval", "soon"}}),
              400, "\"retry_interval\" must be a finite number");
  expectError(patch("/surface_grippers//World/g/properties", {{"forward_axis", 3}}), 400, "\"X\", \"Y\" or \"Z\"");
  EXPECT_EQ(get("/surface_grippers//World/g/properties").body["properties"], expected);

  const Answer points = patch("/surface_grippers//World/g/attachment_points",
                              {{"joint_paths", {"/World/g/p0", "/World/g/p1"}},
                               {"clearance_offset", 0.002},
                               {"local_pose_0", {{"position", {0, 0, 0.1}}, {"orientation", {1, 0, 0, 0}}}}});
  EXPECT_EQ(points.status, 200) << points.body;
  ASSERT_EQ(points.body["attachment_points"].size(), 2u);
  EXPECT_EQ(points.body["attachment_points"][1]["joint_path"], "/World/g/p1");
  EXPECT_EQ(points.body["attachment_points"][1]["clearance_offset"], 0.002);
  EXPECT_EQ(get("/surface_grippers//World/g/attachment_points").body, points.body);
  expectError(patch("/surface_grippers//World/g/attachment_points", {{"z_axis_translation_drive_stiffness", -1.0}}),
              400, "must not be negative");
  expectError(patch("/surface_grippers//World/g/attachment_points", {{"local_pose_1", 5}}), 400,
              "\"local_pose_1\" must be");
}

TEST_F(BridgeSimRest, CameraCaptureRendersTheScene) {
  createArm();
  const Answer camera = put("/cameras", {{"prim_path", "/World/cam"}, {"resolution", {96, 64}}, {"frequency", 15.0}});
  EXPECT_EQ(camera.status, 201) << camera.body;
  EXPECT_EQ(camera.body["resolution"], json({96, 64}));
  const HttpResponse plain = bridge_.client().post("/cameras//World/cam/capture", "{}");
  ASSERT_EQ(plain.status, 200);
  ASSERT_NE(plain.header("Content-Type"), nullptr);
  EXPECT_EQ(*plain.header("Content-Type"), "application/octet-stream");
  const RawFrame frame = RawFrame::parse(plain.body);
  EXPECT_EQ(frame.manifest["arrays"].size(), 2u) << "rgb and depth by default";
  EXPECT_EQ(frame.array("rgb")["shape"], json({64, 96, 3}));
  EXPECT_EQ(frame.array("rgb")["dtype"], "uint8");
  EXPECT_EQ(frame.array("depth")["shape"], json({64, 96}));
  EXPECT_EQ(frame.array("depth")["dtype"], "float32");
  EXPECT_FALSE(frame.manifest["structure"].contains("camera_pose"));
  EXPECT_EQ(frame.manifest["structure"]["frequency"], 15.0);

  post("/articulations//World/arm/set_j", {{"joint_positions", {1.2}}, {"indices", {1}}});
  const RawFrame moved = RawFrame::parse(
      bridge_.client()
          .post("/cameras//World/cam/capture", json{{"data_types", {"rgb"}}, {"world_frame", true}}.dump())
          .body);
  EXPECT_EQ(moved.manifest["arrays"].size(), 1u);
  EXPECT_NE(moved.bytes("rgb"), frame.bytes("rgb")) << "moving a joint changes the picture";
  EXPECT_EQ(moved.manifest["structure"]["camera_pose"]["position"].size(), 3u);
  EXPECT_EQ(moved.manifest["structure"]["camera_pose"]["orientation"].size(), 4u);

  const RawFrame semantic = RawFrame::parse(
      bridge_.client()
          .post("/cameras//World/cam/capture", json{{"data_types", {"semantic_segmentation", "depth"}}}.dump())
          .body);
  EXPECT_EQ(semantic.array("semantic_segmentation")["dtype"], "uint32");
  EXPECT_EQ(semantic.manifest["structure"]["semantic_segmentation"]["id_to_labels"]["2"], "/World/arm");
  std::set<std::uint32_t> ids;
  for (std::size_t i = 0; i < 96 * 64; ++i) ids.insert(semantic.at<std::uint32_t>("semantic_segmentation", i));
  EXPECT_EQ(ids, (std::set<std::uint32_t>{0, 1, 2})) << "sky, ground and the arm are all in view";
}

TEST_F(BridgeSimRest, CameraFaults) {
  expectError(put("/cameras", {{"prim_path", "/World/cam"}, {"resolution", {0, 10}}}), 400,
              "\"resolution\" must be between");
  expectError(put("/cameras", {{"prim_path", "/World/cam"}, {"resolution", {10}}}), 400, "[width, height]");
  expectError(put("/cameras", {{"prim_path", "/World/cam"}, {"frequency", -1.0}}), 400, "\"frequency\"");
  ASSERT_EQ(put("/cameras", {{"prim_path", "/World/cam"}}).status, 201);
  expectError(put("/cameras", {{"prim_path", "/World/cam"}}), 409, "already taken");
  expectError(post("/cameras//World/cam/capture", {{"data_types", {"rgb", "normals"}}}), 400,
              "unknown data type 'normals'");
  expectError(post("/cameras//World/cam/capture", {{"data_types", {"rgb", "rgb"}}}), 400, "requested twice");
  expectError(post("/cameras//World/cam/capture", {{"world_frame", 1}}), 400, "true or false");
  expectError(post("/cameras//World/none/capture", json::object()), 404, "no camera at '/World/none'");
  const RawFrame defaults = RawFrame::parse(bridge_.client().post("/cameras//World/cam/capture", "").body);
  EXPECT_EQ(defaults.array("rgb")["shape"], json({480, 640, 3})) << "an empty body asks for the defaults";
  EXPECT_EQ(del("/cameras//World/cam").status, 200);
  expectError(del("/cameras//World/cam"), 404, "no camera");
}

}  // namespace
}  // namespace corvane
