// The route table, method checks and error replies.
#include "handlers.hpp"

#include <algorithm>

#include "api_error.hpp"

namespace bridge_sim {

using nlohmann::json;

namespace {

struct Operation {
  Collection collection;
  bool collectionPath;
  std::string_view name;
  std::string_view method;
  Handler handler;
};

const std::vector<Operation>& operations() {
  using C = Collection;
  namespace h = handlers;
  static const std::vector<Operation> table{
      {C::Articulations, true, "", "PUT", h::createArticulation},
      {C::Articulations, false, "", "DELETE", h::removeArticulation},
      {C::Articulations, false, "driver_joint", "GET", h::driverJoint},
      {C::Articulations, false, "driven_joints", "PUT", h::drivenJoints},
      {C::Articulations, false, "dof_limits", "GET", h::dofLimits},
      {C::Articulations, false, "joints_state", "GET", h::jointsState},
      {C::Articulations, false, "set_j", "POST", h::setJoints},
      {C::Articulations, false, "move_j", "POST", h::moveJoints},
      {C::Articulations, false, "assemble_robot", "POST", h::assembleRobot},
      {C::SurfaceGrippers, true, "", "PUT", h::createGripper},
      {C::SurfaceGrippers, false, "", "GET", h::getGripper},
      {C::SurfaceGrippers, false, "", "DELETE", h::removeGripper},
      {C::SurfaceGrippers, false, "close", "POST", h::closeGripper},
      {C::SurfaceGrippers, false, "open", "POST", h::openGripper},
      {C::SurfaceGrippers, false, "status", "GET", h::gripperStatus},
      {C::SurfaceGrippers, false, "properties", "GET", h::getProperties},
      {C::SurfaceGrippers, false, "properties", "PATCH", h::patchProperties},
      {C::SurfaceGrippers, false, "attachment_points", "GET", h::getAttachmentPoints},
      {C::SurfaceGrippers, false, "attachment_points", "PATCH", h::patchAttachmentPoints},
      {C::Cameras, true, "", "PUT", h::createCamera},
      {C::Cameras, false, "", "DELETE", h::removeCamera},
      {C::Cameras, false, "capture", "POST", h::capture},
  };
  return table;
}

bool isStream(const Route& route) {
  return route.collection == Collection::Articulations &&
         (route.operation == "stream_joint_positions" || route.operation == "stream_articulation_state");
}

}  // namespace

std::string dumpJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

Reply Reply::json(unsigned status, const nlohmann::json& value) {
  Reply reply;
  reply.status = status;
  reply.body = dumpJson(value);
  return reply;
}

Reply Reply::error(unsigned status, const std::string& message) {
  return Reply::json(status, nlohmann::json{{"error", message}});
}

void handlers::guarded(Respond& respond, const std::function<Reply()>& work) {
  Reply reply;
  try {
    reply = work();
  } catch (const ApiError& e) {
    reply = Reply::error(e.status(), e.what());
  } catch (const std::exception& e) {
    reply = Reply::error(500, std::string("internal error: ") + e.what());
  }
  respond(std::move(reply));
}

void handlers::replyDeferred(Services& services, Deferred deferred, bool asynchronous, Respond& respond) {
  if (asynchronous) return respond(Reply::json(deferred.reply.value("completed", false) ? 200 : 202, deferred.reply));
  if (deferred.endStep <= services.scene().step())
    return guarded(respond, [&] { return Reply::json(200, deferred.finish()); });
  services.atStep(deferred.endStep, [finish = std::move(deferred.finish), respond]() mutable {
    guarded(respond, [&] { return Reply::json(200, finish()); });
  });
}

void dispatch(Services& services, std::string_view method, std::string_view target, std::string_view body,
              Respond respond) {
  std::optional<Route> route;
  try {
    route = matchRoute(target, services.scene());
  } catch (const std::exception& e) {
    return respond(Reply::error(500, std::string("internal error: ") + e.what()));
  }
  if (!route) return respond(Reply::error(404, "no such route: " + std::string(target)));
  if (isStream(*route)) {
    return respond(Reply::error(426, "this is a WebSocket stream: open it with a WebSocket handshake"));
  }
  std::string allowed;
  for (const Operation& op : operations()) {
    if (op.collection != route->collection || op.collectionPath != route->collectionPath || op.name != route->operation)
      continue;
    if (op.method == method) {
      try {
        return op.handler(services, *route, body, respond);
      } catch (const ApiError& e) {
        return respond(Reply::error(e.status(), e.what()));
      } catch (const std::exception& e) {
        return respond(Reply::error(500, std::string("internal error: ") + e.what()));
      }
    }
    allowed += (allowed.empty() ? "" : ", ") + std::string(op.method);
  }
  // A wrong method on "/collection/<prim path>" whose object does not exist is more likely a mistyped
  // operation name than a wrong method: report the route as unknown.
  const bool unknownObject = !route->collectionPath && route->operation.empty() &&
                             !services.scene().exists(route->collection, route->primPath);
  if (allowed.empty() || unknownObject) return respond(Reply::error(404, "no such route: " + std::string(target)));
  Reply reply = Reply::error(405, "method " + std::string(method) + " is not allowed here (allowed: " + allowed + ")");
  reply.headers.emplace_back("Allow", allowed);
  respond(std::move(reply));
}

}  // namespace bridge_sim
