#pragma once

// The one request road of the family operations: body -> client verb -> parseSuccessOrThrow.
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

/// Appends a prim path to a URL or resource path byte for byte (no slashes added or removed), except the
/// two bytes that cannot travel raw: '#' becomes "%23" (libcurl would cut the rest off as a fragment and
/// the request would reach another resource) and NUL becomes "%00" (it would end the URL string).
void appendPrimPath(std::string& url, std::string_view primPath);

/// "<collection>" + prim path (see appendPrimPath) + suffix. `collection` ends in '/', e.g. "/articulations/".
std::string resourcePath(std::string_view collection, std::string_view primPath, std::string_view suffix);

/// Serialises `body` first (so an invalid body sends nothing), sends it, and returns the JSON reply.
nlohmann::json exchange(IsaacSimClient& client, BodyVerb verb, std::string_view path, const nlohmann::json& body);
/// Sends a bodiless request and returns the JSON reply.
nlohmann::json exchange(IsaacSimClient& client, BodilessVerb verb, std::string_view path);

}  // namespace corvane::detail
