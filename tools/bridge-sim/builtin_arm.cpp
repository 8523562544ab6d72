// The built-in arm: seven revolute joints alternating yaw and pitch, about 1.1 m tall when straight,
// ending in a flange link that grippers mount on.
#include "robot_model.hpp"

namespace bridge_sim {
namespace {

constexpr const char* kArmUrdf = R"(<?xml version="1.0"?>
<robot name="corvane_arm7">
  <link name="base_link"><visual><geometry><cylinder radius="0.09" length="0.15"/></geometry></visual></link>
  <link name="link1"><visual><geometry><cylinder radius="0.07" length="0.2"/></geometry></visual></link>
  <link name="link2"><visual><geometry><cylinder radius="0.065" length="0.2"/></geometry></visual></link>
  <link name="link3"><visual><geometry><cylinder radius="0.06" length="0.2"/></geometry></visual></link>
  <link name="link4"><visual><geometry><cylinder radius="0.055" length="0.2"/></geometry></visual></link>
  <link name="link5"><visual><geometry><cylinder radius="0.05" length="0.2"/></geometry></visual></link>
  <link name="link6"><visual><geometry><cylinder radius="0.045" length="0.1"/></geometry></visual></link>
  <link name="link7"><visual><geometry><cylinder radius="0.04" length="0.08"/></geometry></visual></link>
  <link name="flange"><visual><geometry><sphere radius="0.035"/></geometry></visual></link>
  <joint name="joint1" type="revolute">
    <parent link="base_link"/><child link="link1"/><origin xyz="0 0 0.15" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-2.9" upper="2.9" effort="87" velocity="2.0"/>
  </joint>
  <joint name="joint2" type="revolute">
    <parent link="link1"/><child link="link2"/><origin xyz="0 0 0.2" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-1.8" upper="1.8" effort="87" velocity="2.0"/>
  </joint>
  <joint name="joint3" type="revolute">
    <parent link="link2"/><child link="link3"/><origin xyz="0 0 0.2" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-2.9" upper="2.9" effort="87" velocity="2.0"/>
  </joint>
  <joint name="joint4" type="revolute">
    <parent link="link3"/><child link="link4"/><origin xyz="0 0 0.2" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-2.6" upper="2.6" effort="87" velocity="2.0"/>
  </joint>
  <joint name="joint5" type="revolute">
    <parent link="link4"/><child link="link5"/><origin xyz="0 0 0.2" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-2.9" upper="2.9" effort="12" velocity="2.5"/>
  </joint>
  <joint name="joint6" type="revolute">
    <parent link="link5"/><child link="link6"/><origin xyz="0 0 0.2" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-2.2" upper="2.2" effort="12" velocity="2.5"/>
  </joint>
  <joint name="joint7" type="revolute">
    <parent link="link6"/><child link="link7"/><origin xyz="0 0 0.1" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-2.9" upper="2.9" effort="12" velocity="2.5"/>
  </joint>
  <joint name="flange_joint" type="fixed">
    <parent link="link7"/><child link="flange"/><origin xyz="0 0 0.08" rpy="0 0 0"/>
  </joint>
</robot>
)";

}  // namespace

std::shared_ptr<const RobotModel> builtInArm() {
  static const std::shared_ptr<const RobotModel> arm = std::make_shared<const RobotModel>(parseUrdf(kArmUrdf));
  return arm;
}

}  // namespace bridge_sim
