#include "client/family_request.hpp"

namespace corvane::detail {

std::string serializeBody(const nlohmann::json& body) {
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

nlohmann::json exchange(IsaacSimClient& client, BodyVerb verb, std::string_view path, const nlohmann::json& body) {
  const std::string text = serializeBody(body);
  return parseSuccessOrThrow((client.*verb)(path, text));
}

nlohmann::json exchange(IsaacSimClient& client, BodilessVerb verb, std::string_view path) {
  return parseSuccessOrThrow((client.*verb)(path));
}

}  // namespace corvane::detail
