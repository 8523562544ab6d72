#include "camera/json_count.hpp"

#include <cmath>
#include <limits>

namespace corvane::detail {
namespace {

std::uint64_t countOfFloating(double value) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (std::isnan(value) || value >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  if (value >= 0) return static_cast<std::uint64_t>(value);
  const double truncated = value < -kTwoTo63 ? -kTwoTo63 : value;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(truncated));
}

}  // namespace

std::uint64_t toCount(const nlohmann::json& value) {
  if (value.is_number_float()) return countOfFloating(value.get<double>());
  return value.get<std::uint64_t>();
}

}  // namespace corvane::detail
