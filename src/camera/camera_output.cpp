#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "camera/json_count.hpp"
#include "camera/output_rules.hpp"
#include "corvane/camera.hpp"

namespace corvane {
namespace {

// Built on first use; the language makes that initialisation safe against concurrent first calls.
const std::unordered_map<std::string, std::size_t>& itemSizeTable() {
  static const std::unordered_map<std::string, std::size_t> table = {
      {"bool", 1},  {"int8", 1},   {"uint8", 1},   {"int16", 2}, {"uint16", 2}, {"float16", 2},
      {"int32", 4}, {"uint32", 4}, {"float32", 4}, {"int64", 8}, {"uint64", 8}, {"float64", 8},
  };
  return table;
}

std::string shapeText(const std::vector<std::size_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

// Bytes that `shape` of `itemSize`-byte elements needs, or nothing when that does not fit in 64 bits.
std::optional<std::uint64_t> neededBytes(const std::vector<std::size_t>& shape, std::uint64_t itemSize) {
  for (const std::size_t dimension : shape) {
    if (dimension == 0) return 0;
  }
  std::uint64_t bytes = itemSize;
  for (const std::size_t dimension : shape) {
    if (bytes > std::numeric_limits<std::uint64_t>::max() / dimension) return std::nullopt;
    bytes *= dimension;
  }
  return bytes;
}

}  // namespace

namespace detail {

std::size_t elementCountOf(const std::vector<std::size_t>& shape) noexcept {
  std::uint64_t count = 1;
  for (const std::size_t dimension : shape) count *= dimension;  // wraps by design: no overflow check
  return static_cast<std::size_t>(count);
}

std::size_t itemSizeOf(const std::string& dtype) noexcept {
  const auto& table = itemSizeTable();
  const auto found = table.find(dtype);
  return found == table.end() ? 0 : found->second;
}

std::size_t checkedCount(const std::vector<std::size_t>& shape, const std::string& dtype, std::size_t nbytes,
                         std::string_view wanted) {
  if (dtype != wanted) {
    throw std::invalid_argument("camera output has dtype \"" + dtype + "\", not \"" + std::string(wanted) + "\"");
  }
  const std::size_t itemSize = itemSizeOf(dtype);
  if (itemSize == 0) throw std::invalid_argument("camera output dtype \"" + dtype + "\" has no element size");
  const std::optional<std::uint64_t> needed = neededBytes(shape, itemSize);
  if (!needed || *needed != nbytes) {
    throw std::invalid_argument("camera output holds " + std::to_string(nbytes) + " bytes, but shape " +
                                shapeText(shape) + " of " + dtype + " needs " +
                                (needed ? std::to_string(*needed) : std::string("more than 2^64")));
  }
  return nbytes / itemSize;
}

std::optional<std::size_t> outputIndex(const nlohmann::json& structure, std::string_view name, std::size_t count) {
  if (!structure.is_object()) return std::nullopt;
  const auto entry = structure.find(name);
  if (entry == structure.end() || !entry->is_object()) return std::nullopt;
  const auto index = entry->find("__ndarray__");
  if (index == entry->end()) return std::nullopt;
  const std::uint64_t position = toCount(*index);
  if (position >= count) return std::nullopt;
  return static_cast<std::size_t>(position);
}

std::size_t checkedElementCount(const CameraOutput& output, std::string_view dtype) {
  return checkedCount(output.shape, output.dtype, output.data.size(), dtype);
}

}  // namespace detail

std::size_t CameraOutput::elementCount() const noexcept { return detail::elementCountOf(shape); }

std::size_t CameraOutput::itemSize() const noexcept { return detail::itemSizeOf(dtype); }

const CameraOutput* CameraFrame::output(std::string_view name) const {
  const std::optional<std::size_t> index = detail::outputIndex(structure, name, outputs.size());
  return index ? &outputs[*index] : nullptr;
}

}  // namespace corvane
