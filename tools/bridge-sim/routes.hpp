#pragma once

// Request targets to routes. A target is a collection path ("/cameras") or the collection path, "/", the
// prim path and, for most operations, a last segment naming the operation ("/articulations//World/arm/set_j").
// Prim paths contain slashes, so the last segment is an operation only when it is one of the collection's
// operation names and (when both readings are possible) the shorter prim path exists.
#include <optional>
#include <string>
#include <string_view>

#include "scene.hpp"

namespace bridge_sim {

struct Route {
  Collection collection = Collection::Articulations;
  bool collectionPath = false;  ///< "/articulations" itself
  std::string primPath;
  std::string operation;  ///< "" for the object itself
};

/// Percent-decodes valid %XX escapes (prim paths never contain '%') and drops a query string.
std::string decodeTargetPath(std::string_view target);

/// The route of `target`, or nothing when no collection matches.
std::optional<Route> matchRoute(std::string_view target, const Scene& scene);

const char* collectionName(Collection collection);

}  // namespace bridge_sim
