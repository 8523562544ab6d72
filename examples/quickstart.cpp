// corvane quick start: drives a scene end to end through the bridge (the simulated one by default, see
// scripts/demo) and writes what the camera sees.
//
//   corvane-quickstart <http base URL> <websocket base URL> [output folder]
#include <corvane/corvane.hpp>

#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>

#include "png_image.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kArm = "/World/arm";
constexpr const char* kGripper = "/World/gripper";
constexpr const char* kCamera = "/World/camera";
constexpr int kWidth = 640, kHeight = 480;

void step(const std::string& what) { std::cout << "\n== " << what << std::endl; }

// A pose a third of the way toward each joint's upper limit (or its lower limit, for odd joints).
std::vector<double> poseWithin(const json& limits, double fraction) {
  std::vector<double> pose;
  for (std::size_t j = 0; j < limits["joint_names"].size(); ++j) {
    const json& bound = (j % 2 == 0 ? limits["upper_limits"] : limits["lower_limits"])[j];
    pose.push_back(bound.is_number() ? fraction * bound.get<double>() : fraction);
  }
  return pose;
}

json createArm(corvane::IsaacSimClient& client) {
  step("Create an arm at " + std::string(kArm) + " (the bridge's built-in 7-joint arm)");
  const json arm = client.articulation.create(kArm, std::nullopt);
  std::cout << "joints: " << arm["joint_names"].dump() << "\n";
  step("Read its joint limits");
  const json limits = client.articulation.getDofLimits(kArm);
  for (std::size_t j = 0; j < limits["joint_names"].size(); ++j) {
    std::cout << "  " << limits["joint_names"][j].get<std::string>() << ": [" << limits["lower_limits"][j] << ", "
              << limits["upper_limits"][j] << "] rad, up to " << limits["velocity_limits"][j] << " rad/s\n";
  }
  return limits;
}

void moveAndStream(corvane::IsaacSimClient& client, const json& limits) {
  step("Move the joints synchronously (the call returns when the motion ends)");
  const auto started = std::chrono::steady_clock::now();
  const json moved = client.articulation.moveJointPositions(kArm, poseWithin(limits, 0.35), std::nullopt, false);
  std::cout << "completed: " << moved["completed"] << " after "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() << " s; positions "
            << moved["joint_positions"].dump() << "\n";

  step("Open the state stream and watch an asynchronous move");
  corvane::WebSocketStream stream = client.articulation.streamArticulationState(kArm);
  client.articulation.moveJointPositions(kArm, poseWithin(limits, -0.3), std::nullopt, true);
  int shown = 0;
  for (auto until = std::chrono::steady_clock::now() + 1500ms; shown < 6 && std::chrono::steady_clock::now() < until;) {
    const std::optional<std::string> text = stream.receiveFor(100ms);
    if (!text) continue;
    const json sample = json::parse(*text);
    if (sample.value("seq", 0) % 12 != 0) continue;  // a few samples, a fifth of a second apart
    std::cout << "  t=" << std::fixed << std::setprecision(3) << sample["time"].get<double>()
              << " joint2=" << sample["joint_positions"][1].get<double>() << " rad at "
              << sample["joint_velocities"][1].get<double>() << " rad/s\n";
    ++shown;
  }
  stream.close();
}

void gripper(corvane::IsaacSimClient& client) {
  step("Create a surface gripper, mount it on the arm's flange and close it");
  client.surfaceGripper.create(kGripper);
  client.articulation.assembleRobot(kArm, kGripper, "flange", std::nullopt, std::nullopt, true);
  const json closed = client.surfaceGripper.close(kGripper, false);
  std::cout << "gripper status: " << closed["status"].get<std::string>() << "\n";
}

void camera(corvane::IsaacSimClient& client, const std::filesystem::path& folder) {
  step("Create a camera and capture rgb and depth");
  client.camera.create(kCamera, std::vector<int>{kWidth, kHeight}, 30.0);
  const corvane::CameraFrame frame = client.camera.capture(kCamera, std::vector<std::string>{"rgb", "depth"}, true);
  const corvane::CameraOutput* rgb = frame.output("rgb");
  const corvane::CameraOutput* depth = frame.output("depth");
  if (rgb == nullptr || depth == nullptr) throw std::runtime_error("the capture lacks rgb or depth");
  if (rgb->shape.size() != 3 || rgb->shape[2] != 3 || depth->shape.size() != 2 || depth->shape[0] != rgb->shape[0] ||
      depth->shape[1] != rgb->shape[1]) {
    throw std::runtime_error("unexpected output shapes");
  }
  const std::size_t height = rgb->shape[0], width = rgb->shape[1];
  const auto colours = rgb->as<std::uint8_t>();  // checks the dtype and the byte count
  const auto metres = depth->as<float>();
  std::cout << "rgb " << height << "x" << width << "x3 uint8, depth " << depth->shape[0] << "x" << depth->shape[1]
            << " float32 (metres)\n";
  std::filesystem::create_directories(folder);
  const std::vector<std::uint8_t> rgbBytes(colours.begin(), colours.end());
  examples::writeRgbPng((folder / "rgb.png").string(), width, height, rgbBytes.data());
  const std::vector<float> depthValues(metres.begin(), metres.end());
  examples::writeRgbPng((folder / "depth.png").string(), width, height, examples::colourDepth(depthValues).data());
  std::cout << "wrote " << (folder / "rgb.png").string() << " and " << (folder / "depth.png").string() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: corvane-quickstart <http base URL> <websocket base URL> [output folder]\n";
    return 2;
  }
  const std::filesystem::path folder = argc > 3 ? argv[3] : "quickstart-output";
  try {
    step(std::string("Connect to the bridge at ") + argv[1]);
    corvane::IsaacSimClient client("quickstart", argv[1], argv[2], std::chrono::milliseconds(10000), 2);
    const json limits = createArm(client);
    moveAndStream(client, limits);
    gripper(client);
    camera(client, folder);
  } catch (const corvane::HTTPError& e) {
    std::cerr << "\nfailed: " << e.what() << ": " << e.body() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "\nfailed: " << e.what() << "\n";
    return 1;
  }
  std::cout << "\ndone\n";
  return 0;
}
