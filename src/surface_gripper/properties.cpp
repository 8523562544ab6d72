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

std::optional<std::string> ownedText(std::optional<std::string_view> text) {
  return text ? std::optional<std::string>(std::in_place, *text) : std::nullopt;
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
  const GripperProperties properties{coaxial_force_limit, shear_force_limit,  max_grip_distance,      retry_interval,
                                     rotation_limits,     translation_limits, ownedText(forward_axis)};
  return setProperties(prim_path, properties);
}

nlohmann::json SurfaceGripper::setProperties(std::string_view prim_path, const GripperProperties& properties) {
  nlohmann::json body = nlohmann::json::object();
  setIfGiven(body, "coaxial_force_limit", properties.coaxialForceLimit);
  setIfGiven(body, "shear_force_limit", properties.shearForceLimit);
  setIfGiven(body, "max_grip_distance", properties.maxGripDistance);
  setIfGiven(body, "retry_interval", properties.retryInterval);
  setIfGiven(body, "rotation_limits", properties.rotationLimits);
  setIfGiven(body, "translation_limits", properties.translationLimits);
  setIfGiven(body, "forward_axis", properties.forwardAxis);
  return detail::exchange(*client_, &IsaacSimClient::patch, detail::surfaceGripperPath(prim_path, "/properties"), body);
}

nlohmann::json SurfaceGripper::setAttachmentPointProperties(
    std::string_view prim_path, const std::optional<std::vector<std::string>>& joint_paths,
    const std::optional<nlohmann::json>& local_pose_0, const std::optional<nlohmann::json>& local_pose_1,
    std::optional<double> z_axis_translation_drive_stiffness, std::optional<double> z_axis_translation_drive_damping,
    const std::optional<AxisLimits>& rotation_limits, const std::optional<AxisLimits>& translation_limits,
    std::optional<double> clearance_offset, std::optional<std::string_view> forward_axis) {
  const AttachmentPointProperties properties{joint_paths,
                                             local_pose_0,
                                             local_pose_1,
                                             z_axis_translation_drive_stiffness,
                                             z_axis_translation_drive_damping,
                                             rotation_limits,
                                             translation_limits,
                                             clearance_offset,
                                             ownedText(forward_axis)};
  return setAttachmentPointProperties(prim_path, properties);
}

nlohmann::json SurfaceGripper::setAttachmentPointProperties(std::string_view prim_path,
                                                            const AttachmentPointProperties& properties) {
  nlohmann::json body = nlohmann::json::object();
  setIfGiven(body, "joint_paths", properties.jointPaths);
  setIfGiven(body, "local_pose_0", properties.localPose0);
  setIfGiven(body, "local_pose_1", properties.localPose1);
  setIfGiven(body, "z_axis_translation_drive_stiffness", properties.zAxisTranslationDriveStiffness);
  setIfGiven(body, "z_axis_translation_drive_damping", properties.zAxisTranslationDriveDamping);
  setIfGiven(body, "rotation_limits", properties.rotationLimits);
  setIfGiven(body, "translation_limits", properties.translationLimits);
  setIfGiven(body, "clearance_offset", properties.clearanceOffset);
  setIfGiven(body, "forward_axis", properties.forwardAxis);
  return detail::exchange(*client_, &IsaacSimClient::patch, detail::surfaceGripperPath(prim_path, "/attachment_points"),
                          body);
}

}  // namespace corvane
