#include "json_input.hpp"

#include <algorithm>
#include <cmath>

#include "api_error.hpp"

namespace bridge_sim::input {

using nlohmann::json;

namespace {

std::string keyText(std::string_view key) { return "\"" + std::string(key) + "\""; }

}  // namespace

json parseObject(std::string_view body) {
  if (body.empty()) return json::object();
  json value = json::parse(body, nullptr, false);
  if (value.is_discarded()) throw badRequest("the request body is not valid JSON");
  if (!value.is_object()) throw badRequest("the request body must be a JSON object");
  return value;
}

void allowOnly(const json& object, std::initializer_list<std::string_view> known) {
  for (const auto& item : object.items()) {
    if (std::find(known.begin(), known.end(), item.key()) == known.end()) {
      throw badRequest("unknown member " + keyText(item.key()));
    }
  }
}

const json* member(const json& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string requireString(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (value == nullptr) throw badRequest("missing member " + keyText(key));
  if (!value->is_string()) throw badRequest(keyText(key) + " must be a string");
  return value->get<std::string>();
}

std::optional<std::string> optionalString(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (value == nullptr || value->is_null()) return std::nullopt;
  if (!value->is_string()) throw badRequest(keyText(key) + " must be a string or null");
  return value->get<std::string>();
}

std::optional<bool> optionalBool(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_boolean()) throw badRequest(keyText(key) + " must be true or false");
  return value->get<bool>();
}

bool requireBool(const json& object, std::string_view key) {
  const auto value = optionalBool(object, key);
  if (!value) throw badRequest("missing member " + keyText(key));
  return *value;
}

double toNumber(const json& value, const std::string& what) {
  if (!value.is_number()) throw badRequest(what + " must be a finite number");
  const double number = value.get<double>();
  if (!std::isfinite(number)) throw badRequest(what + " must be a finite number");
  return number;
}

std::optional<double> optionalNumber(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  return toNumber(*value, keyText(key));
}

std::vector<double> numberArray(const json& value, const std::string& what) {
  if (!value.is_array()) throw badRequest(what + " must be an array of numbers");
  std::vector<double> numbers;
  for (std::size_t i = 0; i < value.size(); ++i)
    numbers.push_back(toNumber(value[i], what + "[" + std::to_string(i) + "]"));
  return numbers;
}

std::vector<std::int64_t> integerArray(const json& value, const std::string& what) {
  if (!value.is_array()) throw badRequest(what + " must be an array of integers");
  std::vector<std::int64_t> numbers;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const json& item = value[i];
    if (item.is_number_unsigned() && item.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
      throw badRequest(what + "[" + std::to_string(i) + "] is out of range");
    }
    if (!item.is_number_integer()) throw badRequest(what + "[" + std::to_string(i) + "] must be an integer");
    numbers.push_back(item.get<std::int64_t>());
  }
  return numbers;
}

std::vector<std::string> stringArray(const json& value, const std::string& what) {
  if (!value.is_array()) throw badRequest(what + " must be an array of strings");
  std::vector<std::string> strings;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (!value[i].is_string()) throw badRequest(what + "[" + std::to_string(i) + "] must be a string");
    strings.push_back(value[i].get<std::string>());
  }
  return strings;
}

void checkPrimPath(const std::string& path) {
  if (path.empty() || path.front() != '/') throw badRequest("a prim path must start with '/'");
  if (path.size() > 1024) throw badRequest("a prim path must not be longer than 1024 bytes");
  if (path.size() == 1 || path.back() == '/' || path.find("//") != std::string::npos) {
    throw badRequest("a prim path must not have an empty segment: '" + path + "'");
  }
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '?' || c == '#' || c == '%') {
      throw badRequest("a prim path must not contain blanks, control characters, '?', '#' or '%'");
    }
  }
}

}  // namespace bridge_sim::input
