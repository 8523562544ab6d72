#pragma once

// Checked reading of request bodies: every fault becomes ApiError 400 with a message naming the member.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace bridge_sim::input {

/// The body as a JSON object; an empty body counts as {}. Malformed JSON or a non-object is 400.
nlohmann::json parseObject(std::string_view body);
/// 400 when the object has a member not in `known`.
void allowOnly(const nlohmann::json& object, std::initializer_list<std::string_view> known);

const nlohmann::json* member(const nlohmann::json& object, std::string_view key);  ///< nullptr when absent
std::string requireString(const nlohmann::json& object, std::string_view key);
/// Absent or null give nullopt.
std::optional<std::string> optionalString(const nlohmann::json& object, std::string_view key);
std::optional<bool> optionalBool(const nlohmann::json& object, std::string_view key);
bool requireBool(const nlohmann::json& object, std::string_view key);
/// A finite number (a JSON null, as NaN and infinities are sent, is refused).
double toNumber(const nlohmann::json& value, const std::string& what);
std::optional<double> optionalNumber(const nlohmann::json& object, std::string_view key);
std::vector<double> numberArray(const nlohmann::json& value, const std::string& what);
std::vector<std::int64_t> integerArray(const nlohmann::json& value, const std::string& what);
std::vector<std::string> stringArray(const nlohmann::json& value, const std::string& what);

/// A prim path a new object may take: absolute, no empty segment, no blanks, controls, '?', '#' or '%'.
void checkPrimPath(const std::string& path);

}  // namespace bridge_sim::input
