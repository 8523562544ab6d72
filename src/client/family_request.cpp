#include "client/family_request.hpp"

namespace corvane::detail {

std::string serializeBody(const nlohmann::json& body) {
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

void appendPrimPath(std::string& url, std::string_view primPath) {
  for (const char c : primPath) {
    if (c == '#') {
      url += "%23";
    } else if (c == '\0') {
      url += "%00";
    } else {
      url += c;
    }
  }
}

std::string resourcePath(std::string_view collection, std::string_view primPath, std::string_view suffix) {
  std::string path;
  path.reserve(collection.size() + primPath.size() + suffix.size());
  path.append(collection);
  appendPrimPath(path, primPath);
  path.append(suffix);
  return path;
}

nlohmann::json exchange(IsaacSimClient& client, BodyVerb verb, std::string_view path, const nlohmann::json& body) {
  const std::string text = serializeBody(body);
  return parseSuccessOrThrow((client.*verb)(path, text));
}

nlohmann::json exchange(IsaacSimClient& client, BodilessVerb verb, std::string_view path) {
  return parseSuccessOrThrow((client.*verb)(path));
}

}  // namespace corvane::detail
