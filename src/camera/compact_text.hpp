#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace corvane::detail {

/// The same text as value.dump() (compact, non-ASCII unescaped), written with an explicit stack.
/// dump() recurses once per nesting level, so a manifest nested a few hundred thousand levels deep would
/// exhaust the thread's stack; this walks containers iteratively and leaves only scalars to dump().
std::string compactText(const nlohmann::json& value);

}  // namespace corvane::detail
