#pragma once

// One articulation in the scene: its model, joint state and motion toward targets. Joints move at
// their velocity limits, one fixed step at a time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "robot_model.hpp"

namespace bridge_sim {

/// A joint command, already checked: which degrees of freedom (indices into the DOF list) get which values.
struct JointCommand {
  std::vector<std::size_t> dofs;
  std::vector<double> values;
};

/// A segment of the robot to draw: a capsule from `a` to `b`.
struct LinkSegment {
  Vec3 a, b;
  double radius = 0;
  std::size_t link = 0;  ///< the child link, for colouring
};

struct Assembly {
  std::string gripper;  ///< prim path of the surface gripper
  std::size_t mountLink = 0;
  std::string armMountLink;
  std::optional<std::string> gripperMountLink;
  Pose offset;
  bool maskCollisions = false;
};

class ArticulationState {
 public:
  ArticulationState(std::shared_ptr<const RobotModel> model, std::optional<std::string> urdfPath, Pose base);

  const RobotModel& model() const { return *model_; }
  const std::optional<std::string>& urdfPath() const { return urdfPath_; }
  const Pose& base() const { return base_; }
  std::size_t dofCount() const { return position_.size(); }
  const std::vector<double>& positions() const { return position_; }
  const std::vector<double>& velocities() const { return velocity_; }
  const std::vector<double>& targets() const { return target_; }
  const std::vector<bool>& driven() const { return driven_; }
  const std::string& dofName(std::size_t dof) const { return model_->joints[model_->dofs[dof]].name; }
  const Joint& dofJoint(std::size_t dof) const { return model_->joints[model_->dofs[dof]]; }

  /// Checks a command against the driven joints and limits; throws ApiError 400 naming the fault.
  JointCommand checkCommand(const std::vector<double>& values,
                            const std::optional<std::vector<std::int64_t>>& indices) const;
  void setDriven(const std::vector<bool>& driven) { driven_ = driven; }

  /// Sets positions at once (velocity 0) and holds them there.
  void setPositions(const JointCommand& command, std::uint64_t commandId);
  /// Sets targets; returns how many steps of `dt` seconds the slowest joint needs to reach its target.
  std::int64_t moveTo(const JointCommand& command, std::uint64_t commandId, double dt);
  /// Whether every joint of `command` still carries `commandId` (no later command took it over).
  bool owns(const JointCommand& command, std::uint64_t commandId) const;
  /// Advances the motion by `steps` fixed steps of `dt` seconds.
  void advance(std::int64_t steps, double dt);

  /// Position of every joint of the model (mimics and fixed joints included).
  std::vector<double> jointPositions() const;
  /// World pose of every link.
  std::vector<Pose> linkPoses() const;
  std::vector<LinkSegment> segments() const;

  std::optional<Assembly> assembly;

 private:
  std::shared_ptr<const RobotModel> model_;
  std::optional<std::string> urdfPath_;
  Pose base_;
  std::vector<double> position_, velocity_, target_;
  std::vector<bool> driven_;
  std::vector<std::uint64_t> commandId_;
};

}  // namespace bridge_sim
