#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/export.hpp"
#include "corvane/stream.hpp"

namespace corvane {

class IsaacSimClient;

/// Robots (articulations) in the scene, addressed by prim path.
/// Holds only a pointer to its client, which must outlive it.
///
/// Every operation is one request to the bridge under "/articulations/" + prim path. The prim path goes
/// into the request path as it is ("/World/arm" gives "/articulations//World/arm/..."), except '#' and NUL,
/// sent as %23 and %00: raw, they would cut the rest of the path off and address another resource. Bodies
/// always carry every key, an absent option as null. Results are the bridge's JSON reply unchanged ({} for
/// an empty body). Failures throw: corvane::HTTPError for a status outside 200..299, TransportError (a
/// std::runtime_error) for transport failures, nlohmann::json errors for a reply that is not JSON or a body
/// string that is not valid UTF-8 (type error 316, raised before anything is sent). Nothing is validated
/// on the client side.
class CORVANE_API Articulation {
 public:
  explicit Articulation(IsaacSimClient& client) noexcept : client_(&client) {}
  Articulation(const Articulation&) noexcept = default;
  /// Not assignable: assigning one client's family to another's would leave it bound to the wrong client,
  /// and dangling once that client is gone.
  Articulation& operator=(const Articulation&) = delete;

  /// The client this family sends its requests through.
  IsaacSimClient& client() const noexcept { return *client_; }

  /// PUT /articulations {"prim_path", "urdf_path"}: creates an articulation, from a URDF file when given.
  nlohmann::json create(std::string_view primPath, std::optional<std::string_view> urdfPath = std::nullopt);
  /// DELETE /articulations/{primPath}. Returns nothing, but throws like every other operation.
  void remove(std::string_view primPath);
  /// GET /articulations/{primPath}/driver_joint.
  [[nodiscard]] nlohmann::json getDriverJoint(std::string_view primPath);
  /// PUT /articulations/{primPath}/driven_joints {"joint_names"}: names in order, duplicates kept.
  nlohmann::json setDrivenJoints(std::string_view primPath, const std::vector<std::string>& jointNames);
  /// GET /articulations/{primPath}/dof_limits.
  [[nodiscard]] nlohmann::json getDofLimits(std::string_view primPath);
  /// GET /articulations/{primPath}/joints_state.
  [[nodiscard]] nlohmann::json getJointsState(std::string_view primPath);

  /// POST /articulations/{primPath}/set_j {"indices", "joint_positions"}. Non-finite positions go out
  /// as null. Note: a braced `{}` for `indices` means "absent"; pass std::vector<int>{} for an empty list.
  nlohmann::json setJointPositions(std::string_view primPath, const std::vector<double>& jointPositions,
                                   const std::optional<std::vector<int>>& indices = std::nullopt);
  /// POST /articulations/{primPath}/move_j {"asynchronous", "indices", "joint_positions"}.
  /// `asynchronous` defaults to false: like every call of this library, the move is waited for unless
  /// the caller asks otherwise.
  nlohmann::json moveJointPositions(std::string_view primPath, const std::vector<double>& jointPositions,
                                    const std::optional<std::vector<int>>& indices = std::nullopt,
                                    bool asynchronous = false);

  /// POST /articulations/{primPath}/assemble_robot {"arm_mount_link", "gripper_id",
  /// "gripper_mount_link", "mask_collisions", "offset"}: mounts a gripper on the arm at `primPath`.
  /// `offset` is sent as given, of any JSON type. `maskCollisions` defaults to true: mounted links
  /// touch, and unmasked contacts between arm and gripper would push them apart.
  nlohmann::json assembleRobot(std::string_view primPath, std::string_view gripperId, std::string_view armMountLink,
                               std::optional<std::string_view> gripperMountLink = std::nullopt,
                               const std::optional<nlohmann::json>& offset = std::nullopt, bool maskCollisions = true);

  /// The joint-position stream of the articulation (IsaacSimClient::openJointPositionStream).
  [[nodiscard]] WebSocketStream streamJointPositions(std::string_view primPath);
  /// The articulation-state stream of the articulation (IsaacSimClient::openArticulationStateStream).
  [[nodiscard]] WebSocketStream streamArticulationState(std::string_view primPath);

 private:
  IsaacSimClient* client_;
};

}  // namespace corvane
