// REST operations on articulations.
#include "api_error.hpp"
#include "handlers.hpp"
#include "json_input.hpp"

namespace bridge_sim::handlers {

using nlohmann::json;

namespace {

struct JointTargets {
  std::vector<double> values;
  std::optional<std::vector<std::int64_t>> indices;
};

JointTargets readTargets(const json& body) {
  const json* positions = input::member(body, "joint_positions");
  if (positions == nullptr) throw badRequest("missing member \"joint_positions\"");
  JointTargets targets{input::numberArray(*positions, "\"joint_positions\""), std::nullopt};
  const json* indices = input::member(body, "indices");
  if (indices != nullptr && !indices->is_null()) targets.indices = input::integerArray(*indices, "\"indices\"");
  return targets;
}

}  // namespace

void createArticulation(Services& services, const Route&, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"prim_path", "urdf_path"});
  const std::string primPath = input::requireString(request, "prim_path");
  input::checkPrimPath(primPath);
  const auto urdfPath = input::optionalString(request, "urdf_path");
  respond(Reply::json(201, services.scene().createArticulation(primPath, urdfPath)));
}

void removeArticulation(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().removeArticulation(route.primPath)));
}

void driverJoint(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().driverJoint(route.primPath)));
}

void drivenJoints(Services& services, const Route& route, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"joint_names"});
  const json* names = input::member(request, "joint_names");
  if (names == nullptr) throw badRequest("missing member \"joint_names\"");
  respond(Reply::json(200,
                      services.scene().setDrivenJoints(route.primPath, input::stringArray(*names, "\"joint_names\""))));
}

void dofLimits(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().dofLimits(route.primPath)));
}

void jointsState(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().jointsState(route.primPath)));
}

void setJoints(Services& services, const Route& route, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"joint_positions", "indices"});
  const JointTargets targets = readTargets(request);
  respond(Reply::json(200, services.scene().setJoints(route.primPath, targets.values, targets.indices)));
}

void moveJoints(Services& services, const Route& route, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"joint_positions", "indices", "asynchronous"});
  const JointTargets targets = readTargets(request);
  const bool asynchronous = input::optionalBool(request, "asynchronous").value_or(false);
  Deferred deferred = services.scene().moveJoints(route.primPath, targets.values, targets.indices, asynchronous);
  replyDeferred(services, std::move(deferred), asynchronous, respond);
}

void assembleRobot(Services& services, const Route& route, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"gripper_id", "arm_mount_link", "gripper_mount_link", "offset", "mask_collisions"});
  const std::string gripper = input::requireString(request, "gripper_id");
  const std::string armLink = input::requireString(request, "arm_mount_link");
  const auto gripperLink = input::optionalString(request, "gripper_mount_link");
  Pose offset;
  if (const json* value = input::member(request, "offset"); value != nullptr && !value->is_null()) {
    offset = readPose(*value, "\"offset\"");
  }
  const bool mask = input::optionalBool(request, "mask_collisions").value_or(false);
  respond(Reply::json(200, services.scene().assemble(route.primPath, gripper, armLink, gripperLink, offset, mask)));
}

}  // namespace bridge_sim::handlers
