#pragma once

// A robot's kinematic description, read from URDF: links, joints, limits, and the degrees of freedom
// that commands address.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "geometry.hpp"

namespace bridge_sim {

enum class JointType { Revolute, Continuous, Prismatic, Fixed };

const char* jointTypeName(JointType type);

struct Link {
  std::string name;
  double radius = 0.04;  ///< drawn thickness, from the first visual geometry when there is one
};

struct Mimic {
  std::size_t driver = 0;  ///< index of the followed joint in RobotModel::joints
  double multiplier = 1;
  double offset = 0;
};

struct Joint {
  std::string name;
  JointType type = JointType::Fixed;
  std::size_t parent = 0;  ///< link indices
  std::size_t child = 0;
  Pose origin;
  Vec3 axis{1, 0, 0};
  double lower = 0, upper = 0;  ///< -inf/+inf for continuous joints
  double velocity = 0;          ///< velocity limit, rad/s or m/s
  std::optional<Mimic> mimic;
};

struct RobotModel {
  std::string name;
  std::vector<Link> links;
  std::vector<Joint> joints;
  std::size_t root = 0;
  std::vector<std::size_t> dofs;        ///< movable joints that are not mimics, in document order
  std::vector<std::size_t> jointOrder;  ///< every joint, parents before children

  std::optional<std::size_t> findLink(std::string_view name) const;
  std::optional<std::size_t> findJoint(std::string_view name) const;
};

/// A URDF that cannot be used: missing, unreadable, not XML, or describing no valid tree.
class UrdfError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Parses URDF text. Throws UrdfError naming what is wrong.
RobotModel parseUrdf(std::string_view text);
/// Reads and parses a URDF file; only regular files up to a few MiB are read.
RobotModel loadUrdfFile(const std::string& path);
/// The simulated bridge's own 7-joint arm (shared, immutable).
std::shared_ptr<const RobotModel> builtInArm();

}  // namespace bridge_sim
