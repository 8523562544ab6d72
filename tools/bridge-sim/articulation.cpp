#include "articulation.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "api_error.hpp"

namespace bridge_sim {
namespace {

// Moves `from` toward `to` by at most `reach`, landing exactly on `to`. Within rounding of `reach` counts
// as arrived, so a motion ends on the step moveTo() predicted.
double approach(double from, double to, double reach) {
  if (std::abs(to - from) <= reach * (1 + 1e-9) + 1e-12) return to;
  return from + (to > from ? reach : -reach);
}

std::string formatNumber(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

ArticulationState::ArticulationState(std::shared_ptr<const RobotModel> model, std::optional<std::string> urdfPath,
                                     Pose base)
    : model_(std::move(model)), urdfPath_(std::move(urdfPath)), base_(base) {
  const std::size_t n = model_->dofs.size();
  position_.resize(n);
  for (std::size_t d = 0; d < n; ++d) position_[d] = std::clamp(0.0, dofJoint(d).lower, dofJoint(d).upper);
  velocity_.assign(n, 0.0);
  target_ = position_;
  driven_.assign(n, true);
  commandId_.assign(n, 0);
}

JointCommand ArticulationState::checkCommand(const std::vector<double>& values,
                                             const std::optional<std::vector<std::int64_t>>& indices) const {
  JointCommand command;
  if (indices) {
    if (indices->size() != values.size()) {
      throw badRequest("\"indices\" has " + std::to_string(indices->size()) + " entries but \"joint_positions\" has " +
                       std::to_string(values.size()));
    }
    for (const std::int64_t index : *indices) {
      if (index < 0 || static_cast<std::uint64_t>(index) >= dofCount()) {
        throw badRequest("joint index " + std::to_string(index) + " is outside 0.." + std::to_string(dofCount() - 1));
      }
      const auto dof = static_cast<std::size_t>(index);
      if (std::find(command.dofs.begin(), command.dofs.end(), dof) != command.dofs.end()) {
        throw badRequest("joint index " + std::to_string(index) + " is given twice");
      }
      if (!driven_[dof]) throw badRequest("joint '" + dofName(dof) + "' is not driven");
      command.dofs.push_back(dof);
    }
  } else {
    for (std::size_t d = 0; d < dofCount(); ++d) {
      if (driven_[d]) command.dofs.push_back(d);
    }
    if (command.dofs.size() != values.size()) {
      throw badRequest("\"joint_positions\" has " + std::to_string(values.size()) + " entries but " +
                       std::to_string(command.dofs.size()) + " joints are driven");
    }
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Joint& joint = dofJoint(command.dofs[i]);
    if (values[i] < joint.lower || values[i] > joint.upper) {
      throw badRequest("position " + formatNumber(values[i]) + " of joint '" + joint.name +
                       "' is outside its limits [" + formatNumber(joint.lower) + ", " + formatNumber(joint.upper) +
                       "]");
    }
  }
  command.values = values;
  return command;
}

void ArticulationState::setPositions(const JointCommand& command, std::uint64_t commandId) {
  for (std::size_t i = 0; i < command.dofs.size(); ++i) {
    const std::size_t d = command.dofs[i];
    position_[d] = target_[d] = command.values[i];
    velocity_[d] = 0;
    commandId_[d] = commandId;
  }
}

std::int64_t ArticulationState::moveTo(const JointCommand& command, std::uint64_t commandId, double dt) {
  std::int64_t steps = 0;
  for (std::size_t i = 0; i < command.dofs.size(); ++i) {
    const std::size_t d = command.dofs[i];
    target_[d] = command.values[i];
    commandId_[d] = commandId;
    const double perStep = dofJoint(d).velocity * dt;
    const double needed = std::ceil(std::abs(target_[d] - position_[d]) / perStep - 1e-9);
    steps = std::max(steps, static_cast<std::int64_t>(needed));
  }
  return steps;
}

bool ArticulationState::owns(const JointCommand& command, std::uint64_t commandId) const {
  return std::all_of(command.dofs.begin(), command.dofs.end(),
                     [&](std::size_t d) { return commandId_[d] == commandId; });
}

void ArticulationState::advance(std::int64_t steps, double dt) {
  if (steps <= 0) return;
  for (std::size_t d = 0; d < dofCount(); ++d) {
    const double perStep = dofJoint(d).velocity * dt;
    // Closed form of `steps` single steps: the last step's displacement gives the velocity.
    const double before = approach(position_[d], target_[d], perStep * static_cast<double>(steps - 1));
    const double after = approach(before, target_[d], perStep);
    velocity_[d] = (after - before) / dt;
    position_[d] = after;
  }
}

std::vector<double> ArticulationState::jointPositions() const {
  std::vector<double> q(model_->joints.size(), 0.0);
  for (std::size_t d = 0; d < dofCount(); ++d) q[model_->dofs[d]] = position_[d];
  for (std::size_t j = 0; j < q.size(); ++j) {
    if (const auto& mimic = model_->joints[j].mimic) q[j] = q[mimic->driver] * mimic->multiplier + mimic->offset;
  }
  return q;
}

std::vector<Pose> ArticulationState::linkPoses() const {
  const std::vector<double> q = jointPositions();
  std::vector<Pose> poses(model_->links.size(), base_);
  for (const std::size_t j : model_->jointOrder) {
    const Joint& joint = model_->joints[j];
    Pose motion;
    if (joint.type == JointType::Prismatic) motion.position = joint.axis * q[j];
    if (joint.type == JointType::Revolute || joint.type == JointType::Continuous) {
      motion.orientation = axisAngle(joint.axis, q[j]);
    }
    poses[joint.child] = poses[joint.parent] * joint.origin * motion;
  }
  return poses;
}

std::vector<LinkSegment> ArticulationState::segments() const {
  const std::vector<Pose> poses = linkPoses();
  std::vector<LinkSegment> segments;
  const Link& root = model_->links[model_->root];
  segments.push_back({poses[model_->root].position, poses[model_->root].position, root.radius, model_->root});
  for (const Joint& joint : model_->joints) {
    const double radius = model_->links[joint.parent].radius;
    segments.push_back({poses[joint.parent].position, poses[joint.child].position, radius, joint.child});
  }
  return segments;
}

}  // namespace bridge_sim
