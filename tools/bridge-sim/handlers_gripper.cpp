// REST operations on surface grippers.
#include "api_error.hpp"
#include "handlers.hpp"
#include "json_input.hpp"

namespace bridge_sim::handlers {

using nlohmann::json;

namespace {

void actuate(Services& services, const Route& route, std::string_view body, Respond& respond, bool close) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"asynchronous"});
  const bool asynchronous = input::optionalBool(request, "asynchronous").value_or(false);
  replyDeferred(services, services.scene().actuateGripper(route.primPath, close, asynchronous), asynchronous, respond);
}

}  // namespace

void createGripper(Services& services, const Route&, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"prim_path"});
  const std::string primPath = input::requireString(request, "prim_path");
  input::checkPrimPath(primPath);
  respond(Reply::json(201, services.scene().createGripper(primPath)));
}

void removeGripper(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().removeGripper(route.primPath)));
}

void getGripper(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().describeGripper(route.primPath)));
}

void closeGripper(Services& services, const Route& route, std::string_view body, Respond& respond) {
  actuate(services, route, body, respond, true);
}

void openGripper(Services& services, const Route& route, std::string_view body, Respond& respond) {
  actuate(services, route, body, respond, false);
}

void gripperStatus(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().gripperStatus(route.primPath)));
}

void getProperties(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().gripperProperties(route.primPath)));
}

void patchProperties(Services& services, const Route& route, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  respond(Reply::json(200, services.scene().patchGripperProperties(route.primPath, request)));
}

void getAttachmentPoints(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().attachmentPoints(route.primPath)));
}

void patchAttachmentPoints(Services& services, const Route& route, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  respond(Reply::json(200, services.scene().patchAttachmentPoints(route.primPath, request)));
}

}  // namespace bridge_sim::handlers
