#include "routes.hpp"

#include <algorithm>
#include <vector>

namespace bridge_sim {
namespace {

struct CollectionRoutes {
  Collection collection;
  std::string_view path;
  std::vector<std::string_view> operations;
};

const std::vector<CollectionRoutes>& collections() {
  static const std::vector<CollectionRoutes> table{
      {Collection::Articulations,
       "/articulations",
       {"driver_joint", "driven_joints", "dof_limits", "joints_state", "set_j", "move_j", "assemble_robot",
        "stream_joint_positions", "stream_articulation_state"}},
      {Collection::SurfaceGrippers,
       "/surface_grippers",
       {"close", "open", "status", "properties", "attachment_points"}},
      {Collection::Cameras, "/cameras", {"capture"}},
  };
  return table;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Route objectRoute(const CollectionRoutes& entry, const std::string& rest, const Scene& scene) {
  Route route{entry.collection, false, rest, ""};
  const std::size_t slash = rest.rfind('/');
  if (slash == std::string::npos) return route;
  const std::string_view last = std::string_view(rest).substr(slash + 1);
  if (std::find(entry.operations.begin(), entry.operations.end(), last) == entry.operations.end()) return route;
  const std::string shorter = rest.substr(0, slash);
  // Both readings possible: prefer the one that names an existing object, the operation when neither does.
  if (!scene.exists(entry.collection, shorter) && scene.exists(entry.collection, rest)) return route;
  return {entry.collection, false, shorter, std::string(last)};
}

}  // namespace

const char* collectionName(Collection collection) {
  switch (collection) {
    case Collection::Articulations:
      return "articulations";
    case Collection::SurfaceGrippers:
      return "surface_grippers";
    case Collection::Cameras:
      return "cameras";
  }
  return "";
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
  for (const CollectionRoutes& entry : collections()) {
    if (path == entry.path) return Route{entry.collection, true, "", ""};
    if (path.size() > entry.path.size() && path.compare(0, entry.path.size(), entry.path) == 0 &&
        path[entry.path.size()] == '/') {
      return objectRoute(entry, path.substr(entry.path.size() + 1), scene);
    }
  }
  return std::nullopt;
}

}  // namespace bridge_sim
