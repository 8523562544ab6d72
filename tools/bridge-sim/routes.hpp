#pragma once

// The route table: each operation (collection, last path segment, method) appears once, with the handler
// that answers it or the stream it opens. A request target is a collection path ("/cameras") or the
// collection path, "/", the prim path and, for most operations, a last segment naming the operation
// ("/articulations//World/arm/set_j"). Prim paths contain slashes, so the last segment is an operation
// only when the table names it for the collection and (when both readings are possible) the shorter prim
// path exists.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scene.hpp"

namespace bridge_sim {

class Services;
struct Reply;
/// Hands a reply to the connection; callable from any thread, exactly once.
using Respond = std::function<void(Reply)>;

struct Route {
  Collection collection = Collection::Articulations;
  bool collectionPath = false;  ///< "/articulations" itself
  std::string primPath;
  std::string operation;  ///< "" for the object itself
};

using Handler = void (*)(Services&, const Route&, std::string_view body, Respond&);
enum class StreamKind { JointPositions, ArticulationState };

/// One row of the route table.
struct Operation {
  Collection collection;
  bool collectionPath;    ///< on the collection itself ("/cameras"), not on one of its objects
  std::string_view name;  ///< the last path segment; "" for the object (or collection) itself
  std::string_view method;
  Handler handler;                                  ///< null for a stream
  std::optional<StreamKind> stream = std::nullopt;  ///< opened with a WebSocket handshake

  bool serves(const Route& route) const {
    return collection == route.collection && collectionPath == route.collectionPath && name == route.operation;
  }
};

const std::vector<Operation>& routeTable();

/// Percent-decodes valid %XX escapes (prim paths never contain '%') and drops a query string.
std::string decodeTargetPath(std::string_view target);

/// The route of `target`, or nothing when no collection matches.
std::optional<Route> matchRoute(std::string_view target, const Scene& scene);

/// The stream a route names, if it names one.
std::optional<StreamKind> streamKind(const Route& route);

}  // namespace bridge_sim
