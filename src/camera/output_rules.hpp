#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// The rules both kinds of output and frame follow (CameraOutput/CameraFrame and SharedOutput/SharedFrame).
namespace corvane::detail {

/// The product of the shape entries, wrapping modulo 2^64.
std::size_t elementCountOf(const std::vector<std::size_t>& shape) noexcept;
/// Bytes per element of `dtype`, 0 for a name outside the table.
std::size_t itemSizeOf(const std::string& dtype) noexcept;
/// The element count of an output of `shape`, `dtype` and `nbytes` bytes read as `wanted`; throws
/// std::invalid_argument when the dtypes differ or the byte count is not shape product * item size.
std::size_t checkedCount(const std::vector<std::size_t>& shape, const std::string& dtype, std::size_t nbytes,
                         std::string_view wanted);
/// The index of the output that the top-level member `name` of `structure` names, when below `count`.
std::optional<std::size_t> outputIndex(const nlohmann::json& structure, std::string_view name, std::size_t count);

}  // namespace corvane::detail
