// Surface gripper lifecycle, actions and queries: one REST call each, the reply returned unchanged.
#include "corvane/surface_gripper.hpp"

#include "client/family_request.hpp"
#include "client/routes.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

// open and close differ only in their last path segment.
nlohmann::json actuate(IsaacSimClient& client, std::string_view primPath, std::string_view action, bool asynchronous) {
  const nlohmann::json body = {{"asynchronous", asynchronous}};
  return detail::exchange(client, &IsaacSimClient::post, detail::surfaceGripperPath(primPath, action), body);
}

}  // namespace

nlohmann::json SurfaceGripper::create(std::string_view primPath) {
  nlohmann::json body = nlohmann::json::object();
  body["prim_path"] = std::string(primPath);
  return detail::exchange(*client_, &IsaacSimClient::put, detail::kSurfaceGrippers, body);
}

void SurfaceGripper::remove(std::string_view primPath) {
  // Parsed only so that a failure status throws like everywhere else; the content is not wanted.
  static_cast<void>(detail::exchange(*client_, &IsaacSimClient::deleteRequest, detail::surfaceGripperPath(primPath)));
}

nlohmann::json SurfaceGripper::get(std::string_view primPath) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::surfaceGripperPath(primPath));
}

nlohmann::json SurfaceGripper::close(std::string_view primPath, bool asynchronous) {
  return actuate(*client_, primPath, "/close", asynchronous);
}

nlohmann::json SurfaceGripper::open(std::string_view primPath, bool asynchronous) {
  return actuate(*client_, primPath, "/open", asynchronous);
}

nlohmann::json SurfaceGripper::getStatus(std::string_view primPath) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::surfaceGripperPath(primPath, "/status"));
}

nlohmann::json SurfaceGripper::getProperties(std::string_view primPath) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::surfaceGripperPath(primPath, "/properties"));
}

nlohmann::json SurfaceGripper::getAttachmentPoints(std::string_view primPath) {
  return detail::exchange(*client_, &IsaacSimClient::get, detail::surfaceGripperPath(primPath, "/attachment_points"));
}

}  // namespace corvane
