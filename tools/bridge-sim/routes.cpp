#include "routes.hpp"

#include <algorithm>

#include "handlers.hpp"

namespace bridge_sim {
namespace {

struct CollectionPath {
  Collection collection;
  std::string_view path;
};

constexpr CollectionPath kCollections[] = {{Collection::Articulations, "/articulations"},
                                           {Collection::SurfaceGrippers, "/surface_grippers"},
                                           {Collection::Cameras, "/cameras"}};

bool isOperationName(Collection collection, std::string_view name) {
  const auto& table = routeTable();
  return std::any_of(table.begin(), table.end(), [&](const Operation& op) {
    return op.collection == collection && !op.collectionPath && !op.name.empty() && op.name == name;
  });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Route objectRoute(const CollectionPath& entry, const std::string& rest, const Scene& scene) {
  Route route{entry.collection, false, rest, ""};
  const std::size_t slash = rest.rfind('/');
  if (slash == std::string::npos) return route;
  const std::string_view last = std::string_view(rest).substr(slash + 1);
  if (!isOperationName(entry.collection, last)) return route;
  const std::string shorter = rest.substr(0, slash);
  // Both readings possible: prefer the one that names an existing object, the operation when neither does.
  if (!scene.exists(entry.collection, shorter) && scene.exists(entry.collection, rest)) return route;
  return {entry.collection, false, shorter, std::string(last)};
}

}  // namespace

const std::vector<Operation>& routeTable() {
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
      {C::Articulations, false, "stream_joint_positions", "GET", nullptr, StreamKind::JointPositions},
      {C::Articulations, false, "stream_articulation_state", "GET", nullptr, StreamKind::ArticulationState},
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

std::string decodeTargetPath(std::string_view target) {
  target = target.substr(0, target.find('?'));
  std::string path;
  path.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target[i] == '%' && i + 2 < target.size() && hexValue(target[i + 1]) >= 0 && hexValue(target[i + 2]) >= 0) {
      path.push_back(static_cast<char>(hexValue(target[i + 1]) * 16 + hexValue(target[i + 2])));
      i += 2;
    } else {
      path.push_back(target[i]);
    }
  }
  return path;
}

std::optional<Route> matchRoute(std::string_view target, const Scene& scene) {
  const std::string path = decodeTargetPath(target);
  for (const CollectionPath& entry : kCollections) {
    if (path == entry.path) return Route{entry.collection, true, "", ""};
    if (path.size() > entry.path.size() && path.compare(0, entry.path.size(), entry.path) == 0 &&
        path[entry.path.size()] == '/') {
      return objectRoute(entry, path.substr(entry.path.size() + 1), scene);
    }
  }
  return std::nullopt;
}

std::optional<StreamKind> streamKind(const Route& route) {
  for (const Operation& op : routeTable()) {
    if (op.stream && op.serves(route)) return op.stream;
  }
  return std::nullopt;
}

}  // namespace bridge_sim
