#include "client/routes.hpp"

namespace corvane::detail {
namespace {

std::string objectPath(std::string_view collection, std::string_view primPath, std::string_view suffix) {
  std::string path;
  path.reserve(collection.size() + 1 + primPath.size() + suffix.size());
  path.append(collection).push_back('/');
  for (const char c : primPath) {
    if (c == '#') {
      path += "%23";
    } else if (c == '\0') {
      path += "%00";
    } else {
      path += c;
    }
  }
  path.append(suffix);
  return path;
}

}  // namespace

std::string articulationPath(std::string_view primPath, std::string_view suffix) {
  return objectPath(kArticulations, primPath, suffix);
}

std::string surfaceGripperPath(std::string_view primPath, std::string_view suffix) {
  return objectPath(kSurfaceGrippers, primPath, suffix);
}

std::string cameraPath(std::string_view primPath, std::string_view suffix) {
  return objectPath(kCameras, primPath, suffix);
}

std::string articulationStreamPath(std::string_view primPath, std::string_view suffix) {
  return objectPath(kArticulations.substr(1), primPath, suffix);
}

}  // namespace corvane::detail
