#pragma once

// The simulated scene: articulations, surface grippers and cameras by prim path, under one lock, with
// time advancing in fixed steps of the wall clock. Every operation answers JSON or throws ApiError.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "articulation.hpp"
#include "render.hpp"
#include "surface_gripper.hpp"

namespace bridge_sim {

struct CameraState {
  int width = 640, height = 480;
  double frequency = 30.0;
  Pose pose;
};

/// A reply that may have to wait: `reply` at once when `endStep` has passed (or the caller asked not to
/// wait), otherwise `finish()` once the scene reaches `endStep`.
struct Deferred {
  nlohmann::json reply;
  std::int64_t endStep = 0;
  std::function<nlohmann::json()> finish;
};

/// What a capture renders, copied out of the scene so the render runs without the lock.
struct CaptureJob {
  std::string camera;
  RenderInput input;
  nlohmann::json labels;  ///< semantic id (as text) -> label
  std::int64_t step = 0;
  double time = 0;
  double frequency = 0;
};

enum class Collection { Articulations, SurfaceGrippers, Cameras };

class Scene {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit Scene(
      double stepRate = 120.0, Clock clock = [] { return std::chrono::steady_clock::now(); });

  double stepSeconds() const { return dt_; }
  /// The current step (advancing the scene to it).
  std::int64_t step();
  /// When the wall clock reaches `step`.
  std::chrono::steady_clock::time_point timeOfStep(std::int64_t step) const;
  bool exists(Collection collection, const std::string& primPath) const;

  nlohmann::json createArticulation(const std::string& primPath, const std::optional<std::string>& urdfPath);
  nlohmann::json removeArticulation(const std::string& primPath);
  nlohmann::json driverJoint(const std::string& primPath);
  nlohmann::json dofLimits(const std::string& primPath);
  nlohmann::json jointsState(const std::string& primPath);
  nlohmann::json setDrivenJoints(const std::string& primPath, const std::vector<std::string>& names);
  nlohmann::json setJoints(const std::string& primPath, const std::vector<double>& values,
                           const std::optional<std::vector<std::int64_t>>& indices);
  Deferred moveJoints(const std::string& primPath, const std::vector<double>& values,
                      const std::optional<std::vector<std::int64_t>>& indices, bool asynchronous);
  nlohmann::json assemble(const std::string& primPath, const std::string& gripper, const std::string& armMountLink,
                          const std::optional<std::string>& gripperMountLink, const Pose& offset, bool maskCollisions);

  /// Stream samples; throw ApiError 404 once the articulation is gone.
  nlohmann::json jointPositionsSample(const std::string& primPath);
  nlohmann::json articulationStateSample(const std::string& primPath);

  nlohmann::json createGripper(const std::string& primPath);
  nlohmann::json removeGripper(const std::string& primPath);
  nlohmann::json describeGripper(const std::string& primPath);
  nlohmann::json gripperStatus(const std::string& primPath);
  Deferred actuateGripper(const std::string& primPath, bool close, bool asynchronous);
  nlohmann::json gripperProperties(const std::string& primPath);
  nlohmann::json patchGripperProperties(const std::string& primPath, const nlohmann::json& body);
  nlohmann::json attachmentPoints(const std::string& primPath);
  nlohmann::json patchAttachmentPoints(const std::string& primPath, const nlohmann::json& body);

  nlohmann::json createCamera(const std::string& primPath, std::optional<std::pair<int, int>> resolution,
                              std::optional<double> frequency);
  nlohmann::json removeCamera(const std::string& primPath);
  CaptureJob captureJob(const std::string& primPath);

 private:
  using Lock = std::unique_lock<std::mutex>;
  Lock advance();  ///< takes the lock and brings the scene to the current step
  ArticulationState& articulation(const std::string& primPath);
  SurfaceGripperState& gripper(const std::string& primPath);
  void checkFree(const std::string& primPath) const;
  std::optional<std::string> attachedTo(const std::string& gripperPath) const;
  nlohmann::json stamp(nlohmann::json reply) const;  ///< adds "step" and "time"
  Pose freeBase() const;
  void addCapsules(CaptureJob& job) const;

  const double dt_;
  const Clock clock_;
  const std::chrono::steady_clock::time_point origin_;
  mutable std::mutex mutex_;
  std::int64_t step_ = 0;
  std::uint64_t nextCommand_ = 1;
  std::map<std::string, ArticulationState> articulations_;
  std::map<std::string, SurfaceGripperState> grippers_;
  std::map<std::string, CameraState> cameras_;
};

}  // namespace bridge_sim
