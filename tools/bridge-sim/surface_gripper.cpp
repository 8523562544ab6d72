#include "surface_gripper.hpp"

#include <cmath>

#include "api_error.hpp"
#include "json_input.hpp"

namespace bridge_sim {

using nlohmann::json;

namespace {

json rangeJson(const std::optional<AxisRange>& range) {
  if (!range) return nullptr;
  return {{"minimum", range->minimum}, {"maximum", range->maximum}};
}

json limitsJson(const AxisLimits& limits) {
  return {{"x", rangeJson(limits.x)}, {"y", rangeJson(limits.y)}, {"z", rangeJson(limits.z)}};
}

std::optional<AxisRange> readRange(const json& value, const std::string& what) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_object()) throw badRequest(what + " must be null or {\"minimum\": ..., \"maximum\": ...}");
  input::allowOnly(value, {"minimum", "maximum"});
  const json* minimum = input::member(value, "minimum");
  const json* maximum = input::member(value, "maximum");
  if (minimum == nullptr || maximum == nullptr) throw badRequest(what + " needs both \"minimum\" and \"maximum\"");
  AxisRange range{input::toNumber(*minimum, what + ".minimum"), input::toNumber(*maximum, what + ".maximum")};
  if (range.minimum > range.maximum) throw badRequest(what + " has its minimum above its maximum");
  return range;
}

// Axes absent from the object keep their current range.
AxisLimits readLimits(const json& value, AxisLimits current, const std::string& what) {
  if (!value.is_object()) throw badRequest(what + " must be an object with the members \"x\", \"y\", \"z\"");
  input::allowOnly(value, {"x", "y", "z"});
  if (const json* x = input::member(value, "x")) current.x = readRange(*x, what + ".x");
  if (const json* y = input::member(value, "y")) current.y = readRange(*y, what + ".y");
  if (const json* z = input::member(value, "z")) current.z = readRange(*z, what + ".z");
  return current;
}

std::string readAxis(const json& value, const std::string& what) {
  if (value.is_string()) {
    const std::string axis = value.get<std::string>();
    if (axis == "X" || axis == "x") return "X";
    if (axis == "Y" || axis == "y") return "Y";
    if (axis == "Z" || axis == "z") return "Z";
  }
  throw badRequest(what + " must be \"X\", \"Y\" or \"Z\"");
}

double nonNegative(const json& value, const std::string& what) {
  const double number = input::toNumber(value, what);
  if (number < 0) throw badRequest(what + " must not be negative");
  return number;
}

// Applies the members of `body` to `target` through `apply(key, value)`; used for both patches.
template <typename Apply>
void each(const json& body, Apply apply) {
  for (const auto& item : body.items()) apply(item.key(), item.value());
}

void applyPointMember(AttachmentPoint& point, const std::string& key, const json& value) {
  const std::string what = "\"" + key + "\"";
  if (key == "local_pose_0") point.localPose0 = readPose(value, what);
  if (key == "local_pose_1") point.localPose1 = readPose(value, what);
  if (key == "z_axis_translation_drive_stiffness") point.stiffness = nonNegative(value, what);
  if (key == "z_axis_translation_drive_damping") point.damping = nonNegative(value, what);
  if (key == "rotation_limits") point.rotationLimits = readLimits(value, point.rotationLimits, what);
  if (key == "translation_limits") point.translationLimits = readLimits(value, point.translationLimits, what);
  if (key == "clearance_offset") point.clearanceOffset = input::toNumber(value, what);
  if (key == "forward_axis") point.forwardAxis = readAxis(value, what);
}

std::vector<AttachmentPoint> withJointPaths(const std::vector<AttachmentPoint>& points, const json& value) {
  const std::vector<std::string> paths = input::stringArray(value, "\"joint_paths\"");
  std::vector<AttachmentPoint> result;
  for (const std::string& path : paths) {
    input::checkPrimPath(path);
    for (const AttachmentPoint& existing : result) {
      if (existing.jointPath == path) throw badRequest("\"joint_paths\" names '" + path + "' twice");
    }
    AttachmentPoint point;
    for (const AttachmentPoint& existing : points) {
      if (existing.jointPath == path) point = existing;
    }
    point.jointPath = path;
    result.push_back(point);
  }
  return result;
}

}  // namespace

const char* statusName(GripperStatus status) {
  switch (status) {
    case GripperStatus::Open:
      return "open";
    case GripperStatus::Closing:
      return "closing";
    case GripperStatus::Closed:
      return "closed";
    case GripperStatus::Opening:
      return "opening";
  }
  return "open";
}

json poseJson(const Pose& pose) {
  const Vec3& p = pose.position;
  const Quat& q = pose.orientation;
  return {{"position", {p.x, p.y, p.z}}, {"orientation", {q.w, q.x, q.y, q.z}}};
}

Pose readPose(const json& value, const std::string& what) {
  if (!value.is_object()) throw badRequest(what + " must be {\"position\": [x, y, z], \"orientation\": [w, x, y, z]}");
  input::allowOnly(value, {"position", "orientation"});
  Pose pose;
  if (const json* position = input::member(value, "position")) {
    const auto p = input::numberArray(*position, what + ".position");
    if (p.size() != 3) throw badRequest(what + ".position must hold 3 numbers");
    pose.position = {p[0], p[1], p[2]};
  }
  if (const json* orientation = input::member(value, "orientation")) {
    const auto q = input::numberArray(*orientation, what + ".orientation");
    if (q.size() != 4) throw badRequest(what + ".orientation must hold 4 numbers (w, x, y, z)");
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(n > 1e-9) || !std::isfinite(n)) throw badRequest(what + ".orientation must not be a zero quaternion");
    pose.orientation = {q[0] / n, q[1] / n, q[2] / n, q[3] / n};
  }
  return pose;
}

SurfaceGripperState::SurfaceGripperState(const std::string& primPath) {
  AttachmentPoint point;
  point.jointPath = primPath + "/attachment_point_0";
  points_.push_back(point);
}

std::int64_t SurfaceGripperState::actuate(bool close, std::int64_t step, std::uint64_t commandId) {
  const GripperStatus goal = close ? GripperStatus::Closed : GripperStatus::Open;
  const GripperStatus moving = close ? GripperStatus::Closing : GripperStatus::Opening;
  if (status_ == moving) return transitionEnd_;  // already on its way: the same command goes on
  commandId_ = commandId;
  if (status_ == goal) {
    transitionEnd_ = step;
    return step;
  }
  status_ = moving;
  transitionEnd_ = step + kActuationSteps;
  return transitionEnd_;
}

void SurfaceGripperState::advanceTo(std::int64_t step) {
  if (step < transitionEnd_) return;
  if (status_ == GripperStatus::Closing) status_ = GripperStatus::Closed;
  if (status_ == GripperStatus::Opening) status_ = GripperStatus::Open;
}

void SurfaceGripperState::patchProperties(const json& body) {
  input::allowOnly(body, {"coaxial_force_limit", "shear_force_limit", "max_grip_distance", "retry_interval",
                          "rotation_limits", "translation_limits", "forward_axis"});
  GripperProperties next = properties_;  // all or nothing
  each(body, [&](const std::string& key, const json& value) {
    const std::string what = "\"" + key + "\"";
    if (key == "coaxial_force_limit") next.coaxialForceLimit = nonNegative(value, what);
    if (key == "shear_force_limit") next.shearForceLimit = nonNegative(value, what);
    if (key == "max_grip_distance") next.maxGripDistance = nonNegative(value, what);
    if (key == "retry_interval") next.retryInterval = nonNegative(value, what);
    if (key == "rotation_limits") next.rotationLimits = readLimits(value, next.rotationLimits, what);
    if (key == "translation_limits") next.translationLimits = readLimits(value, next.translationLimits, what);
    if (key == "forward_axis") next.forwardAxis = readAxis(value, what);
  });
  properties_ = next;
}

void SurfaceGripperState::patchAttachmentPoints(const json& body) {
  input::allowOnly(body, {"joint_paths", "local_pose_0", "local_pose_1", "z_axis_translation_drive_stiffness",
                          "z_axis_translation_drive_damping", "rotation_limits", "translation_limits",
                          "clearance_offset", "forward_axis"});
  std::vector<AttachmentPoint> next = points_;  // all or nothing
  if (const json* paths = input::member(body, "joint_paths")) next = withJointPaths(points_, *paths);
  for (AttachmentPoint& point : next) {
    each(body, [&](const std::string& key, const json& value) { applyPointMember(point, key, value); });
  }
  if (next.empty()) {  // still check the values, so a bad member is refused even with no points
    AttachmentPoint probe;
    each(body, [&](const std::string& key, const json& value) { applyPointMember(probe, key, value); });
  }
  points_ = std::move(next);
}

json SurfaceGripperState::propertiesJson() const {
  const GripperProperties& p = properties_;
  return {{"coaxial_force_limit", p.coaxialForceLimit},
          {"shear_force_limit", p.shearForceLimit},
          {"max_grip_distance", p.maxGripDistance},
          {"retry_interval", p.retryInterval},
          {"rotation_limits", limitsJson(p.rotationLimits)},
          {"translation_limits", limitsJson(p.translationLimits)},
          {"forward_axis", p.forwardAxis}};
}

json SurfaceGripperState::attachmentPointsJson() const {
  json points = json::array();
  for (const AttachmentPoint& point : points_) {
    points.push_back({{"joint_path", point.jointPath},
                      {"local_pose_0", poseJson(point.localPose0)},
                      {"local_pose_1", poseJson(point.localPose1)},
                      {"z_axis_translation_drive_stiffness", point.stiffness},
                      {"z_axis_translation_drive_damping", point.damping},
                      {"rotation_limits", limitsJson(point.rotationLimits)},
                      {"translation_limits", limitsJson(point.translationLimits)},
                      {"clearance_offset", point.clearanceOffset},
                      {"forward_axis", point.forwardAxis}});
  }
  return points;
}

}  // namespace bridge_sim
