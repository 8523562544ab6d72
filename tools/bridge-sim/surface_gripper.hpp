#pragma once

// A surface gripper: its open/closed state with timed transitions, its properties and its attachment
// points, with partial updates that change only what a request names (and nothing when any member is bad).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "geometry.hpp"

namespace bridge_sim {

struct AxisRange {
  double minimum = 0, maximum = 0;
};

struct AxisLimits {
  std::optional<AxisRange> x, y, z;
};

struct GripperProperties {
  double coaxialForceLimit = 100.0;
  double shearForceLimit = 100.0;
  double maxGripDistance = 0.05;
  double retryInterval = 0.1;
  AxisLimits rotationLimits;
  AxisLimits translationLimits;
  std::string forwardAxis = "Z";
};

struct AttachmentPoint {
  std::string jointPath;
  Pose localPose0, localPose1;
  double stiffness = 1000.0;
  double damping = 10.0;
  AxisLimits rotationLimits;
  AxisLimits translationLimits;
  double clearanceOffset = 0.0;
  std::string forwardAxis = "Z";
};

enum class GripperStatus { Open, Closing, Closed, Opening };

class SurfaceGripperState {
 public:
  /// Steps an open or close takes (a quarter second at 120 Hz).
  static constexpr std::int64_t kActuationSteps = 30;

  explicit SurfaceGripperState(const std::string& primPath);

  GripperStatus status() const { return status_; }
  const GripperProperties& properties() const { return properties_; }
  const std::vector<AttachmentPoint>& attachmentPoints() const { return points_; }

  /// Starts closing (or opening) at `step` as command `commandId`; returns the step at which it ends. A
  /// gripper already there ends at once; one already on its way keeps its end and its command.
  std::int64_t actuate(bool close, std::int64_t step, std::uint64_t commandId);
  /// Completes a transition whose end step has passed.
  void advanceTo(std::int64_t step);
  std::uint64_t commandId() const { return commandId_; }

  /// Partial updates from a PATCH body; throw ApiError 400 before changing anything.
  void patchProperties(const nlohmann::json& body);
  void patchAttachmentPoints(const nlohmann::json& body);

  nlohmann::json propertiesJson() const;
  nlohmann::json attachmentPointsJson() const;

 private:
  GripperStatus status_ = GripperStatus::Open;
  std::int64_t transitionEnd_ = 0;
  std::uint64_t commandId_ = 0;
  GripperProperties properties_;
  std::vector<AttachmentPoint> points_;
};

const char* statusName(GripperStatus status);

/// Pose as {"position": [x, y, z], "orientation": [w, x, y, z]}.
nlohmann::json poseJson(const Pose& pose);
/// Reads the same form; throws ApiError 400 (a zero quaternion, wrong sizes, non-numbers).
Pose readPose(const nlohmann::json& value, const std::string& what);

}  // namespace bridge_sim
