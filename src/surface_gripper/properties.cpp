// Surface gripper property updates: partial PATCH bodies in which only the options given appear.
#include <optional>
#include <string>
#include <string_view>

#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/client.hpp"
#include "corvane/surface_gripper.hpp"

namespace corvane {
namespace {

// An absent option leaves its key out of the body; a present one is always sent, even empty or NaN.
template <typename T>
void setIfGiven(nlohmann::json& body, const char* key, const std::optional<T>& value) {
  if (value) body[key] = *value;
}

void setIfGiven(nlohmann::json& body, const char* key, const std::optional<std::string_view>& value) {
  if (value) body[key] = std::string(*value);
}

nlohmann::json axisJson(const std::optional<AxisRange>& axis) {
  return axis ? nlohmann::json(*axis) : nlohmann::json(nullptr);
}

}  // namespace

void to_json(nlohmann::json& json, const AxisRange& range) {
  json = nlohmann::json::object();
  json["minimum"] = range.minimum;
  json["maximum"] = range.maximum;
}

void to_json(nlohmann::json& json, const AxisLimits& limits) {
  json = nlohmann::json::object();
  json["x"] = axisJson(limits.x);
  json["y"] = axisJson(limits.y);
  json["z"] = axisJson(limits.z);
}

nlohmann::json SurfaceGripper::setProperties(std::string_view prim_path, std::optional<double> coaxial_force_limit,
                                             std::optional<double> shear_force_limit,
                                             std::optional<double> max_grip_distance,
                                             std::optional<double> retry_interval,
                                             const std::optional<AxisLimits>& rotation_limits,
                                             const std::optional<AxisLimits>& translation_limits,
                                             std::optional<std::string_view> forward_axis) {
  nlohmann::json body = nlohmann::json::object();
  setIfGiven(body, "coaxial_force_limit", coaxial_force_limit);
  setIfGiven(body, "shear_force_limit", shear_force_limit);
  setIfGiven(body, "max_grip_distance", max_grip_distance);
  setIfGiven(body, "retry_interval", retry_interval);
  setIfGiven(body, "rotation_limits", rotation_limits);
  setIfGiven(body, "translation_limits", translation_limits);
  setIfGiven(body, "forward_axis", forward_axis);
  return detail::exchange(*client_, &IsaacSimClient::patch, detail::surfaceGripperPath(prim_path, "/properties"), body);
}

nlohmann::json SurfaceGripper::setAttachmentPointProperties(
    std::string_view prim_path, const std::optional<std::vector<std::string>>& joint_paths,
    const std::optional<nlohmann::json>& local_pose_0, const std::optional<nlohmann::json>& local_pose_1,
    std::optional<double> z_axis_translation_drive_stiffness, std::optional<double> z_axis_translation_drive_damping,
    const std::optional<AxisLimits>& rotation_limits, const std::optional<AxisLimits>& translation_limits,
    std::optional<double> clearance_offset, std::optional<std::string_view> forward_axis) {
  nlohmann::json body = nlohmann::json::object();
  setIfGiven(body, "joint_paths", joint_paths);
  setIfGiven(body, "local_pose_0", local_pose_0);
  setIfGiven(body, "local_pose_1", local_pose_1);
  setIfGiven(body, "z_axis_translation_drive_stiffness", z_axis_translation_drive_stiffness);
  setIfGiven(body, "z_axis_translation_drive_damping", z_axis_translation_drive_damping);
  setIfGiven(body, "rotation_limits", rotation_limits);
  setIfGiven(body, "translation_limits", translation_limits);
  setIfGiven(body, "clearance_offset", clearance_offset);
  setIfGiven(body, "forward_axis", forward_axis);
  return detail::exchange(*client_, &IsaacSimClient::patch, detail::surfaceGripperPath(prim_path, "/attachment_points"),
                          body);
}

}  // namespace corvane
