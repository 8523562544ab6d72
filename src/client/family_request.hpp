#pragma once

// The one request road of the family operations: body -> client verb -> parseSuccessOrThrow.
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "corvane/client.hpp"

namespace corvane::detail {

/// A client verb that carries a body: &IsaacSimClient::post, ::put or ::patch.
using BodyVerb = HttpResponse (IsaacSimClient::*)(std::string_view, std::string_view);
/// A client verb without a body: &IsaacSimClient::get or ::deleteRequest.
using BodilessVerb = HttpResponse (IsaacSimClient::*)(std::string_view);

/// A request body as the bridge receives it: compact, non-ASCII written as raw UTF-8, keys in ascending
/// byte order. Invalid UTF-8 throws nlohmann::json::type_error 316, so nothing is sent.
std::string serializeBody(const nlohmann::json& body);

/// A JSON string for an optional text, null when absent.
inline nlohmann::json stringOrNull(std::optional<std::string_view> text) {
  return text ? nlohmann::json(std::string(*text)) : nlohmann::json(nullptr);
}

/// Serialises `body` first (so an invalid body sends nothing), sends it, and returns the JSON reply.
nlohmann::json exchange(IsaacSimClient& client, BodyVerb verb, std::string_view path, const nlohmann::json& body);
/// Sends a bodiless request and returns the JSON reply.
nlohmann::json exchange(IsaacSimClient& client, BodilessVerb verb, std::string_view path);

}  // namespace corvane::detail
