// The scene's clock, lookups and articulation operations.
#include "scene.hpp"

#include <algorithm>
#include <cmath>

#include "api_error.hpp"

namespace bridge_sim {

using nlohmann::json;

namespace {

constexpr double kRobotSpacing = 1.0;  // metres between the bases of consecutive robots, along y

json limit(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

json dofNames(const ArticulationState& a) {
  json names = json::array();
  for (std::size_t d = 0; d < a.dofCount(); ++d) names.push_back(a.dofName(d));
  return names;
}

json drivenNames(const ArticulationState& a) {
  json names = json::array();
  for (std::size_t d = 0; d < a.dofCount(); ++d) {
    if (a.driven()[d]) names.push_back(a.dofName(d));
  }
  return names;
}

}  // namespace

Scene::Scene(double stepRate, Clock clock) : dt_(1.0 / stepRate), clock_(std::move(clock)), origin_(clock_()) {}

Scene::Lock Scene::advance() {
  Lock lock(mutex_);
  const double elapsed = std::chrono::duration<double>(clock_() - origin_).count();
  const auto now = static_cast<std::int64_t>(std::floor(elapsed / dt_ + 1e-9));
  if (now > step_) {
    for (auto& [path, a] : articulations_) a.advance(now - step_, dt_);
    for (auto& [path, g] : grippers_) g.advanceTo(now);
    step_ = now;
  }
  return lock;
}

std::int64_t Scene::step() {
  const Lock lock = advance();
  return step_;
}

std::chrono::steady_clock::time_point Scene::timeOfStep(std::int64_t step) const {
  return origin_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(static_cast<double>(step) * dt_));
}

bool Scene::exists(Collection collection, const std::string& primPath) const {
  const Lock lock(mutex_);
  switch (collection) {
    case Collection::Articulations:
      return articulations_.count(primPath) > 0;
    case Collection::SurfaceGrippers:
      return grippers_.count(primPath) > 0;
    case Collection::Cameras:
      return cameras_.count(primPath) > 0;
  }
  return false;
}

ArticulationState& Scene::articulation(const std::string& primPath) {
  const auto it = articulations_.find(primPath);
  if (it == articulations_.end()) throw notFound("no articulation at '" + primPath + "'");
  return it->second;
}

void Scene::checkFree(const std::string& primPath) const {
  const char* kind = articulations_.count(primPath) ? "an articulation"
                     : grippers_.count(primPath)    ? "a surface gripper"
                     : cameras_.count(primPath)     ? "a camera"
                                                    : nullptr;
  if (kind != nullptr) throw conflict("the prim path '" + primPath + "' is already taken by " + kind);
}

json Scene::stamp(json reply) const {
  reply["step"] = step_;
  reply["time"] = static_cast<double>(step_) * dt_;
  return reply;
}

Pose Scene::freeBase() const {
  for (int slot = 0;; ++slot) {
    const double y = slot * kRobotSpacing;
    const bool taken = std::any_of(articulations_.begin(), articulations_.end(), [&](const auto& item) {
      return std::abs(item.second.base().position.y - y) < 1e-9;
    });
    if (!taken) return {{0, y, 0}, {}};
  }
}

json Scene::createArticulation(const std::string& primPath, const std::optional<std::string>& urdfPath) {
  std::shared_ptr<const RobotModel> model = builtInArm();
  if (urdfPath) {
    try {
      model = std::make_shared<const RobotModel>(loadUrdfFile(*urdfPath));  // read before taking the lock
    } catch (const UrdfError& e) {
      throw badRequest("cannot load the URDF '" + *urdfPath + "': " + e.what());
    }
  }
  const Lock lock = advance();
  checkFree(primPath);
  const auto [it, inserted] = articulations_.emplace(primPath, ArticulationState(model, urdfPath, freeBase()));
  const ArticulationState& a = it->second;
  json links = json::array();
  for (const Link& link : a.model().links) links.push_back(link.name);
  const Vec3 base = a.base().position;
  return stamp({{"prim_path", primPath},
                {"robot_name", a.model().name},
                {"urdf_path", urdfPath ? json(*urdfPath) : json(nullptr)},
                {"joint_names", dofNames(a)},
                {"link_names", links},
                {"base_position", {base.x, base.y, base.z}}});
}

json Scene::removeArticulation(const std::string& primPath) {
  const Lock lock = advance();
  articulation(primPath);
  articulations_.erase(primPath);
  return stamp({{"prim_path", primPath}, {"removed", true}});
}

json Scene::driverJoint(const std::string& primPath) {
  const Lock lock = advance();
  const RobotModel& model = articulation(primPath).model();
  json driver = nullptr;
  json mimics = json::array();
  for (const Joint& joint : model.joints) {
    if (!joint.mimic) continue;
    if (driver.is_null()) driver = model.joints[joint.mimic->driver].name;
    mimics.push_back({{"joint", joint.name},
                      {"driver", model.joints[joint.mimic->driver].name},
                      {"multiplier", joint.mimic->multiplier},
                      {"offset", joint.mimic->offset}});
  }
  return {{"prim_path", primPath}, {"driver_joint", driver}, {"mimic_joints", mimics}};
}

json Scene::dofLimits(const std::string& primPath) {
  const Lock lock = advance();
  const ArticulationState& a = articulation(primPath);
  json types = json::array(), lower = json::array(), upper = json::array(), velocity = json::array();
  for (std::size_t d = 0; d < a.dofCount(); ++d) {
    const Joint& joint = a.dofJoint(d);
    types.push_back(jointTypeName(joint.type));
    lower.push_back(limit(joint.lower));
    upper.push_back(limit(joint.upper));
    velocity.push_back(joint.velocity);
  }
  return {{"prim_path", primPath}, {"joint_names", dofNames(a)}, {"joint_types", types},
          {"lower_limits", lower}, {"upper_limits", upper},      {"velocity_limits", velocity}};
}

json Scene::jointsState(const std::string& primPath) {
  const Lock lock = advance();
  const ArticulationState& a = articulation(primPath);
  return stamp({{"prim_path", primPath},
                {"joint_names", dofNames(a)},
                {"joint_positions", a.positions()},
                {"joint_velocities", a.velocities()},
                {"driven_joints", drivenNames(a)}});
}

json Scene::setDrivenJoints(const std::string& primPath, const std::vector<std::string>& names) {
  const Lock lock = advance();
  ArticulationState& a = articulation(primPath);
  std::vector<bool> driven(a.dofCount(), false);
  for (const std::string& name : names) {
    std::size_t d = 0;
    while (d < a.dofCount() && a.dofName(d) != name) ++d;
    if (d == a.dofCount()) throw badRequest("the articulation has no movable joint named '" + name + "'");
    if (driven[d]) throw badRequest("the joint '" + name + "' is listed twice");
    driven[d] = true;
  }
  a.setDriven(driven);
  return {{"prim_path", primPath}, {"driven_joints", drivenNames(a)}};
}

json Scene::setJoints(const std::string& primPath, const std::vector<double>& values,
                      const std::optional<std::vector<std::int64_t>>& indices) {
  const Lock lock = advance();
  ArticulationState& a = articulation(primPath);
  a.setPositions(a.checkCommand(values, indices), nextCommand_++);
  return stamp({{"prim_path", primPath}, {"joint_names", dofNames(a)}, {"joint_positions", a.positions()}});
}

Deferred Scene::moveJoints(const std::string& primPath, const std::vector<double>& values,
                           const std::optional<std::vector<std::int64_t>>& indices, bool asynchronous) {
  const Lock lock = advance();
  ArticulationState& a = articulation(primPath);
  const JointCommand command = a.checkCommand(values, indices);
  const std::uint64_t id = nextCommand_++;
  const std::int64_t steps = a.moveTo(command, id, dt_);
  Deferred deferred;
  deferred.endStep = step_ + steps;
  deferred.reply = stamp({{"prim_path", primPath},
                          {"asynchronous", asynchronous},
                          {"completed", steps == 0},
                          {"duration", static_cast<double>(steps) * dt_},
                          {"joint_targets", a.targets()}});
  deferred.finish = [this, primPath, command, id, steps] {
    const Lock lock = advance();
    const auto it = articulations_.find(primPath);
    if (it == articulations_.end()) throw notFound("the articulation '" + primPath + "' was removed during the motion");
    const ArticulationState& moved = it->second;
    return stamp({{"prim_path", primPath},
                  {"asynchronous", false},
                  {"completed", moved.owns(command, id)},
                  {"duration", static_cast<double>(steps) * dt_},
                  {"joint_positions", moved.positions()}});
  };
  return deferred;
}

json Scene::assemble(const std::string& primPath, const std::string& gripperPath, const std::string& armMountLink,
                     const std::optional<std::string>& gripperMountLink, const Pose& offset, bool maskCollisions) {
  const Lock lock = advance();
  ArticulationState& a = articulation(primPath);
  if (grippers_.count(gripperPath) == 0)
    throw badRequest("\"gripper_id\" names no surface gripper: '" + gripperPath + "'");
  const auto link = a.model().findLink(armMountLink);
  if (!link) throw badRequest("the articulation has no link named '" + armMountLink + "'");
  const auto holder = attachedTo(gripperPath);
  if (holder && *holder != primPath) {
    throw conflict("the surface gripper '" + gripperPath + "' is already assembled onto '" + *holder + "'");
  }
  a.assembly = Assembly{gripperPath, *link, armMountLink, gripperMountLink, offset, maskCollisions};
  return {{"prim_path", primPath},
          {"gripper_id", gripperPath},
          {"arm_mount_link", armMountLink},
          {"gripper_mount_link", gripperMountLink ? json(*gripperMountLink) : json(nullptr)},
          {"offset", poseJson(offset)},
          {"mask_collisions", maskCollisions}};
}

std::optional<std::string> Scene::attachedTo(const std::string& gripperPath) const {
  for (const auto& [path, a] : articulations_) {
    if (a.assembly && a.assembly->gripper == gripperPath) return path;
  }
  return std::nullopt;
}

json Scene::jointPositionsSample(const std::string& primPath) {
  const Lock lock = advance();
  const ArticulationState& a = articulation(primPath);
  return stamp({{"joint_names", dofNames(a)}, {"joint_positions", a.positions()}});
}

json Scene::articulationStateSample(const std::string& primPath) {
  const Lock lock = advance();
  const ArticulationState& a = articulation(primPath);
  json gripperState = nullptr;
  if (a.assembly) {
    const auto it = grippers_.find(a.assembly->gripper);
    if (it != grippers_.end()) gripperState = {{"prim_path", it->first}, {"status", statusName(it->second.status())}};
  }
  return stamp({{"joint_names", dofNames(a)},
                {"joint_positions", a.positions()},
                {"joint_velocities", a.velocities()},
                {"gripper", gripperState}});
}

}  // namespace bridge_sim
