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

nlohmann::json SurfaceGripper::setProperties(std::string_view primPath, std::optional<double> coaxialForceLimit,
                                             std::optional<double> shearForceLimit,
                                             std::optional<double> maxGripDistance, std::optional<double> retryInterval,
                                             const std::optional<AxisLimits>& rotationLimits,
                                             const std::optional<AxisLimits>& translationLimits,
                                             std::optional<std::string_view> forwardAxis) {
  const GripperProperties properties{coaxialForceLimit, shearForceLimit,   maxGripDistance,       retryInterval,
                                     rotationLimits,    translationLimits, ownedText(forwardAxis)};
  return setProperties(primPath, properties);
}

nlohmann::json SurfaceGripper::setProperties(std::string_view primPath, const GripperProperties& properties) {
  nlohmann::json body = nlohmann::json::object();
  setIfGiven(body, "coaxial_force_limit", properties.coaxialForceLimit);
  setIfGiven(body, "shear_force_limit", properties.shearForceLimit);
  setIfGiven(body, "max_grip_distance", properties.maxGripDistance);
  setIfGiven(body, "retry_interval", properties.retryInterval);
  setIfGiven(body, "rotation_limits", properties.rotationLimits);
  setIfGiven(body, "translation_limits", properties.translationLimits);
  setIfGiven(body, "forward_axis", properties.forwardAxis);
  return detail::exchange(*client_, &IsaacSimClient::patch, detail::surfaceGripperPath(primPath, "/properties"), body);
}

nlohmann::json SurfaceGripper::setAttachmentPointProperties(
    std::string_view primPath, const std::optional<std::vector<std::string>>& jointPaths,
    const std::optional<nlohmann::json>& localPose0, const std::optional<nlohmann::json>& localPose1,
    std::optional<double> zAxisTranslationDriveStiffness, std::optional<double> zAxisTranslationDriveDamping,
    const std::optional<AxisLimits>& rotationLimits, const std::optional<AxisLimits>& translationLimits,
    std::optional<double> clearanceOffset, std::optional<std::string_view> forwardAxis) {
  const AttachmentPointProperties properties{
      jointPaths,     localPose0,        localPose1,      zAxisTranslationDriveStiffness, zAxisTranslationDriveDamping,
      rotationLimits, translationLimits, clearanceOffset, ownedText(forwardAxis)};
  return setAttachmentPointProperties(primPath, properties);
}

nlohmann::json SurfaceGripper::setAttachmentPointProperties(std::string_view primPath,
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
  return detail::exchange(*client_, &IsaacSimClient::patch, detail::surfaceGripperPath(primPath, "/attachment_points"),
                          body);
}

}  // namespace corvane
