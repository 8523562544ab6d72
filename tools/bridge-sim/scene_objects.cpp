// The scene's surface grippers and cameras, and the snapshot a capture renders.
#include <cmath>

#include "api_error.hpp"
#include "scene.hpp"

namespace bridge_sim {

using nlohmann::json;

namespace {

const Vec3 kCameraPosition{1.9, -1.1, 1.25};
const Vec3 kCameraTarget{0.0, 0.35, 0.45};

constexpr std::array<std::uint8_t, 3> kLinkColours[] = {{235, 140, 40}, {200, 200, 208}};
constexpr std::array<std::uint8_t, 3> kBaseColour{70, 72, 84};
constexpr std::array<std::uint8_t, 3> kOpenColour{60, 90, 190};
constexpr std::array<std::uint8_t, 3> kClosedColour{50, 170, 90};

}  // namespace

SurfaceGripperState& Scene::gripper(const std::string& primPath) {
  const auto it = grippers_.find(primPath);
  if (it == grippers_.end()) throw notFound("no surface gripper at '" + primPath + "'");
  return it->second;
}

json Scene::createGripper(const std::string& primPath) {
  const Lock lock = advance();
  checkFree(primPath);
  grippers_.emplace(primPath, SurfaceGripperState(primPath));
  return stamp({{"prim_path", primPath}, {"status", "open"}, {"attached_to", nullptr}});
}

json Scene::removeGripper(const std::string& primPath) {
  const Lock lock = advance();
  gripper(primPath);
  for (auto& [path, a] : articulations_) {
    if (a.assembly && a.assembly->gripper == primPath) a.assembly.reset();
  }
  grippers_.erase(primPath);
  return stamp({{"prim_path", primPath}, {"removed", true}});
}

json Scene::describeGripper(const std::string& primPath) {
  const Lock lock = advance();
  const SurfaceGripperState& g = gripper(primPath);
  const auto holder = attachedTo(primPath);
  return stamp({{"prim_path", primPath},
                {"status", statusName(g.status())},
                {"attached_to", holder ? json(*holder) : json(nullptr)},
                {"properties", g.propertiesJson()},
                {"attachment_points", g.attachmentPointsJson()}});
}

json Scene::gripperStatus(const std::string& primPath) {
  const Lock lock = advance();
  return stamp({{"prim_path", primPath}, {"status", statusName(gripper(primPath).status())}});
}

Deferred Scene::actuateGripper(const std::string& primPath, bool close, bool asynchronous) {
  const Lock lock = advance();
  SurfaceGripperState& g = gripper(primPath);
  Deferred deferred;
  deferred.endStep = g.actuate(close, step_, nextCommand_++);
  const std::uint64_t id = g.commandId();
  g.advanceTo(step_);
  deferred.reply = stamp({{"prim_path", primPath},
                          {"asynchronous", asynchronous},
                          {"completed", deferred.endStep <= step_},
                          {"status", statusName(g.status())}});
  deferred.finish = [this, primPath, id] {
    const Lock lock = advance();
    const auto it = grippers_.find(primPath);
    if (it == grippers_.end()) throw notFound("the surface gripper '" + primPath + "' was removed while moving");
    return stamp({{"prim_path", primPath},
                  {"asynchronous", false},
                  {"completed", it->second.commandId() == id},
                  {"status", statusName(it->second.status())}});
  };
  return deferred;
}

json Scene::gripperProperties(const std::string& primPath) {
  const Lock lock = advance();
  return {{"prim_path", primPath}, {"properties", gripper(primPath).propertiesJson()}};
}

json Scene::patchGripperProperties(const std::string& primPath, const json& body) {
  const Lock lock = advance();
  SurfaceGripperState& g = gripper(primPath);
  g.patchProperties(body);
  return {{"prim_path", primPath}, {"properties", g.propertiesJson()}};
}

json Scene::attachmentPoints(const std::string& primPath) {
  const Lock lock = advance();
  return {{"prim_path", primPath}, {"attachment_points", gripper(primPath).attachmentPointsJson()}};
}

json Scene::patchAttachmentPoints(const std::string& primPath, const json& body) {
  const Lock lock = advance();
  SurfaceGripperState& g = gripper(primPath);
  g.patchAttachmentPoints(body);
  return {{"prim_path", primPath}, {"attachment_points", g.attachmentPointsJson()}};
}

json Scene::createCamera(const std::string& primPath, std::optional<std::pair<int, int>> resolution,
                         std::optional<double> frequency) {
  const Lock lock = advance();
  checkFree(primPath);
  CameraState camera;
  if (resolution) std::tie(camera.width, camera.height) = *resolution;
  if (frequency) camera.frequency = *frequency;
  camera.pose = {kCameraPosition, lookRotation(kCameraTarget - kCameraPosition, {0, 0, 1})};
  cameras_.emplace(primPath, camera);
  return stamp({{"prim_path", primPath},
                {"resolution", {camera.width, camera.height}},
                {"frequency", camera.frequency},
                {"pose", poseJson(camera.pose)}});
}

json Scene::removeCamera(const std::string& primPath) {
  const Lock lock = advance();
  if (cameras_.erase(primPath) == 0) throw notFound("no camera at '" + primPath + "'");
  return stamp({{"prim_path", primPath}, {"removed", true}});
}

CaptureJob Scene::captureJob(const std::string& primPath) {
  const Lock lock = advance();
  const auto it = cameras_.find(primPath);
  if (it == cameras_.end()) throw notFound("no camera at '" + primPath + "'");
  CaptureJob job;
  job.camera = primPath;
  job.input.width = it->second.width;
  job.input.height = it->second.height;
  job.input.camera = it->second.pose;
  job.frequency = it->second.frequency;
  job.step = step_;
  job.time = static_cast<double>(step_) * dt_;
  job.labels = {{std::to_string(kBackgroundId), "BACKGROUND"}, {std::to_string(kGroundId), "ground"}};
  addCapsules(job);
  return job;
}

// Robots get semantic ids from 2 on in prim path order, then their assembled grippers.
void Scene::addCapsules(CaptureJob& job) const {
  std::uint32_t nextId = kGroundId + 1;
  for (const auto& [path, a] : articulations_) {
    const std::uint32_t id = nextId++;
    job.labels[std::to_string(id)] = path;
    for (const LinkSegment& s : a.segments()) {
      const bool root = s.link == a.model().root;
      const auto colour = root ? kBaseColour : kLinkColours[s.link % 2];
      job.input.capsules.push_back({s.a, s.b, s.radius, colour, id});
    }
    if (!a.assembly) continue;
    const auto gripperIt = grippers_.find(a.assembly->gripper);
    if (gripperIt == grippers_.end()) continue;
    const std::uint32_t gripperId = nextId++;
    job.labels[std::to_string(gripperId)] = a.assembly->gripper;
    const Pose mount = a.linkPoses()[a.assembly->mountLink] * a.assembly->offset;
    const bool closed = gripperIt->second.status() == GripperStatus::Closed;
    job.input.capsules.push_back(
        {apply(mount, {0, 0, 0.02}), apply(mount, {0, 0, 0.1}), 0.03, closed ? kClosedColour : kOpenColour, gripperId});
  }
}

}  // namespace bridge_sim
