#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace corvane::detail {

/// A JSON number as an unsigned 64-bit count, the way the frame manifest's numbers are read: integers as
/// their 64-bit two's-complement pattern (-1 -> 2^64 - 1), floating values truncated toward zero. Any
/// other JSON type throws nlohmann::json::type_error 302 ("type must be number, but is ...").
///
/// Converting a floating value outside the 64-bit range is undefined behaviour in C++, and a manifest may
/// hold 1e300 or -1e300: such values saturate instead, below -2^63 to the pattern of -2^63 and from 2^64
/// up to 2^64 - 1, so they stay huge and fail every bounds test.
std::uint64_t toCount(const nlohmann::json& value);

}  // namespace corvane::detail
