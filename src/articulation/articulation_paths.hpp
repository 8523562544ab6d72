#pragma once

// Request paths shared by the articulation operations.
#include <optional>
#include <string>
#include <string_view>

#include "client/family_request.hpp"

namespace corvane::detail {

inline constexpr std::string_view kArticulations = "/articulations";

/// "/articulations/" + prim path + suffix, the prim path inserted by detail::appendPrimPath.
inline std::string articulationPath(std::string_view primPath, std::string_view suffix = {}) {
  return resourcePath("/articulations/", primPath, suffix);
}

/// A JSON string for an optional text, null when absent.
inline nlohmann::json stringOrNull(std::optional<std::string_view> text) {
  return text ? nlohmann::json(std::string(*text)) : nlohmann::json(nullptr);
}

}  // namespace corvane::detail
