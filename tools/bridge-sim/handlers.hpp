#pragma once

// The REST operations: a route, a method and a body in, one reply out (possibly later, from another
// thread, for the operations that wait for the scene or render).
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "routes.hpp"
#include "scene.hpp"

namespace bridge_sim {

struct Reply {
  unsigned status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  std::shared_ptr<void> hold;  ///< released once the reply has been sent (capture memory budget)

  static Reply json(unsigned status, const nlohmann::json& value);
  static Reply error(unsigned status, const std::string& message);
};

/// What operations need beyond the scene: waiting for a scene step, and running heavy work off the I/O threads.
class Services {
 public:
  virtual ~Services() = default;
  virtual Scene& scene() = 0;
  /// Calls `then` once the scene has reached `step` (or at once if it has).
  virtual void atStep(std::int64_t step, std::function<void()> then) = 0;
  /// Runs `job` on the render pool; at most a bounded number of captures are held in memory at a time,
  /// and `job` receives the token that holds one of those places until its reply has been sent.
  virtual void render(std::function<void(std::shared_ptr<void>)> job) = 0;
  /// Whether cameras render the textured look.
  virtual bool texturedRender() const { return false; }
};

/// Answers one request. Never throws: faults become error replies.
void dispatch(Services& services, std::string_view method, std::string_view target, std::string_view body,
              Respond respond);

/// The JSON text of a reply: compact, invalid UTF-8 (from request targets) replaced rather than thrown.
std::string dumpJson(const nlohmann::json& value);

// Per-family operations, registered in the route table.
namespace handlers {
void createArticulation(Services&, const Route&, std::string_view, Respond&);
void removeArticulation(Services&, const Route&, std::string_view, Respond&);
void driverJoint(Services&, const Route&, std::string_view, Respond&);
void drivenJoints(Services&, const Route&, std::string_view, Respond&);
void dofLimits(Services&, const Route&, std::string_view, Respond&);
void jointsState(Services&, const Route&, std::string_view, Respond&);
void setJoints(Services&, const Route&, std::string_view, Respond&);
void moveJoints(Services&, const Route&, std::string_view, Respond&);
void assembleRobot(Services&, const Route&, std::string_view, Respond&);
void createGripper(Services&, const Route&, std::string_view, Respond&);
void removeGripper(Services&, const Route&, std::string_view, Respond&);
void getGripper(Services&, const Route&, std::string_view, Respond&);
void closeGripper(Services&, const Route&, std::string_view, Respond&);
void openGripper(Services&, const Route&, std::string_view, Respond&);
void gripperStatus(Services&, const Route&, std::string_view, Respond&);
void getProperties(Services&, const Route&, std::string_view, Respond&);
void patchProperties(Services&, const Route&, std::string_view, Respond&);
void getAttachmentPoints(Services&, const Route&, std::string_view, Respond&);
void patchAttachmentPoints(Services&, const Route&, std::string_view, Respond&);
void createCamera(Services&, const Route&, std::string_view, Respond&);
void removeCamera(Services&, const Route&, std::string_view, Respond&);
void capture(Services&, const Route&, std::string_view, Respond&);

/// Answers `deferred` now, or when the scene reaches its end step unless `asynchronous`.
void replyDeferred(Services& services, Deferred deferred, bool asynchronous, Respond& respond);
/// Runs `work` and answers with its reply; ApiError and other exceptions become error replies.
void guarded(Respond& respond, const std::function<Reply()>& work);
}  // namespace handlers

}  // namespace bridge_sim
