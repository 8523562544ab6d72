// Dispatch to the route table's handlers, method checks and error replies.
#include "handlers.hpp"

#include "api_error.hpp"

namespace bridge_sim {

using nlohmann::json;

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
  if (streamKind(*route)) {
    return respond(Reply::error(426, "this is a WebSocket stream: open it with a WebSocket handshake"));
  }
  std::string allowed;
  for (const Operation& op : routeTable()) {
    if (!op.serves(*route)) continue;
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
