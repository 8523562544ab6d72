#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/export.hpp"

namespace corvane {

class IsaacSimClient;

/// One axis's limits. Values are carried as given: no ordering, sign or finiteness check.
struct AxisRange {
  double minimum = 0.0;
  double maximum = 0.0;
};

/// Optional per-axis limits (rotation or translation) of a surface gripper; an empty axis is "not given".
/// Brace-initialise it, e.g. AxisLimits{AxisRange{0.0, 1.0}} limits x only.
struct AxisLimits {
  std::optional<AxisRange> x = std::nullopt;
  std::optional<AxisRange> y = std::nullopt;
  std::optional<AxisRange> z = std::nullopt;
};

/// The settings of a gripper as a whole, for SurfaceGripper::setProperties: only the fields that hold a
/// value are sent. Fill the fields by name, e.g. `GripperProperties p; p.coaxialForceLimit = 5.0;`.
struct GripperProperties {
  std::optional<double> coaxialForceLimit;      ///< "coaxial_force_limit"
  std::optional<double> shearForceLimit;        ///< "shear_force_limit"
  std::optional<double> maxGripDistance;        ///< "max_grip_distance"
  std::optional<double> retryInterval;          ///< "retry_interval"
  std::optional<AxisLimits> rotationLimits;     ///< "rotation_limits"
  std::optional<AxisLimits> translationLimits;  ///< "translation_limits"
  std::optional<std::string> forwardAxis;       ///< "forward_axis", e.g. "X"
};

/// The settings applied to every attachment point of a gripper, for
/// SurfaceGripper::setAttachmentPointProperties: only the fields that hold a value are sent.
struct AttachmentPointProperties {
  std::optional<std::vector<std::string>> jointPaths;    ///< "joint_paths": the points' joint prim paths
  std::optional<nlohmann::json> localPose0;              ///< "local_pose_0", copied as given (null included)
  std::optional<nlohmann::json> localPose1;              ///< "local_pose_1", copied as given (null included)
  std::optional<double> zAxisTranslationDriveStiffness;  ///< "z_axis_translation_drive_stiffness"
  std::optional<double> zAxisTranslationDriveDamping;    ///< "z_axis_translation_drive_damping"
  std::optional<AxisLimits> rotationLimits;              ///< "rotation_limits"
  std::optional<AxisLimits> translationLimits;           ///< "translation_limits"
  std::optional<double> clearanceOffset;                 ///< "clearance_offset"
  std::optional<std::string> forwardAxis;                ///< "forward_axis"
};

/// {"maximum":...,"minimum":...}, both as floating-point numbers (NaN and infinities become null).
CORVANE_API void to_json(nlohmann::json& json, const AxisRange& range);
/// Always all three members "x", "y", "z"; an absent axis is null.
CORVANE_API void to_json(nlohmann::json& json, const AxisLimits& limits);

/// Surface grippers in the scene, addressed by prim path.
/// Holds only a pointer to its client, which must outlive it. Every operation is one REST call whose
/// JSON reply is returned unchanged (an empty success body gives {}); a non-2xx reply throws HTTPError,
/// transport failures throw TransportError (a std::runtime_error), and a text that is not valid UTF-8 throws
/// nlohmann::json::type_error 316 before anything is sent.
/// The prim path goes into the request path as it is, except that '#' and NUL bytes are sent as %23 and
/// %00: raw, they would cut the rest of the path off and address a different resource.
class CORVANE_API SurfaceGripper {
 public:
  explicit SurfaceGripper(IsaacSimClient& client) noexcept : client_(&client) {}
  SurfaceGripper(const SurfaceGripper&) noexcept = default;
  /// Not assignable: assigning one client's family to another's would leave it bound to the wrong client,
  /// and dangling once that client is gone.
  SurfaceGripper& operator=(const SurfaceGripper&) = delete;

  /// The client this family sends its requests through.
  IsaacSimClient& client() const noexcept { return *client_; }

  /// PUT /surface_grippers with {"prim_path": primPath}.
  nlohmann::json create(std::string_view primPath);
  /// DELETE /surface_grippers/{primPath}; the reply's content is discarded.
  void remove(std::string_view primPath);
  /// GET /surface_grippers/{primPath}.
  [[nodiscard]] nlohmann::json get(std::string_view primPath);
  /// POST /surface_grippers/{primPath}/close with {"asynchronous": asynchronous}.
  nlohmann::json close(std::string_view primPath, bool asynchronous = false);
  /// POST /surface_grippers/{primPath}/open with {"asynchronous": asynchronous}.
  nlohmann::json open(std::string_view primPath, bool asynchronous = false);
  /// GET /surface_grippers/{primPath}/status.
  [[nodiscard]] nlohmann::json getStatus(std::string_view primPath);
  /// GET /surface_grippers/{primPath}/properties.
  [[nodiscard]] nlohmann::json getProperties(std::string_view primPath);
  /// GET /surface_grippers/{primPath}/attachment_points.
  [[nodiscard]] nlohmann::json getAttachmentPoints(std::string_view primPath);

  /// PATCH /surface_grippers/{primPath}/properties. Only the options given are sent (an absent option
  /// leaves its key out; with none the body is {}), so setProperties(path, 5.0) changes one setting.
  nlohmann::json setProperties(std::string_view primPath, std::optional<double> coaxialForceLimit = std::nullopt,
                               std::optional<double> shearForceLimit = std::nullopt,
                               std::optional<double> maxGripDistance = std::nullopt,
                               std::optional<double> retryInterval = std::nullopt,
                               const std::optional<AxisLimits>& rotationLimits = std::nullopt,
                               const std::optional<AxisLimits>& translationLimits = std::nullopt,
                               std::optional<std::string_view> forwardAxis = std::nullopt);

  /// PATCH /surface_grippers/{primPath}/attachment_points. Only the options given are sent. The local
  /// poses are copied into the body as they are; pass nlohmann::json(nullptr) to send an explicit null.
  nlohmann::json setAttachmentPointProperties(std::string_view primPath,
                                              const std::optional<std::vector<std::string>>& jointPaths = std::nullopt,
                                              const std::optional<nlohmann::json>& localPose0 = std::nullopt,
                                              const std::optional<nlohmann::json>& localPose1 = std::nullopt,
                                              std::optional<double> zAxisTranslationDriveStiffness = std::nullopt,
                                              std::optional<double> zAxisTranslationDriveDamping = std::nullopt,
                                              const std::optional<AxisLimits>& rotationLimits = std::nullopt,
                                              const std::optional<AxisLimits>& translationLimits = std::nullopt,
                                              std::optional<double> clearanceOffset = std::nullopt,
                                              std::optional<std::string_view> forwardAxis = std::nullopt);

  /// setProperties with the settings named in one record: the same body as the same options given one by one.
  nlohmann::json setProperties(std::string_view primPath, const GripperProperties& properties);
  /// setAttachmentPointProperties with the settings named in one record: the same body as the positional form.
  nlohmann::json setAttachmentPointProperties(std::string_view primPath, const AttachmentPointProperties& properties);

 private:
  IsaacSimClient* client_;
};

}  // namespace corvane
