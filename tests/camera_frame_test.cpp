// Decoded frames and outputs: element counts, the item-size table, lookups by name, and the typed view.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>

#include "corvane/camera.hpp"
#include "expect_throw.hpp"

namespace corvane {
namespace {

using Json = nlohmann::json;

CameraOutput outputOf(std::vector<std::size_t> shape, std::string dtype, std::size_t nbytes = 0) {
  return CameraOutput{std::move(shape), std::move(dtype), std::vector<std::byte>(nbytes)};
}

template <typename T>
CameraOutput outputHolding(const std::vector<T>& values, std::string dtype) {
  CameraOutput output = outputOf({values.size()}, std::move(dtype), values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(output.data.data(), values.data(), output.data.size());
  return output;
}

// A frame of `count` outputs (dtypes "o0", "o1", ...) whose structure maps `name` to {"__ndarray__": index}.
CameraFrame frameWith(std::size_t count, const Json& structure) {
  CameraFrame frame;
  frame.structure = structure;
  for (std::size_t i = 0; i < count; ++i) frame.outputs.push_back(outputOf({}, "o" + std::to_string(i)));
  return frame;
}

Json named(const Json& index) { return {{"rgb", {{"__ndarray__", index}}}}; }

TEST(CameraOutputCounts, ElementCountIsTheShapeProduct) {
  EXPECT_EQ(outputOf({}, "uint8").elementCount(), 1u) << "a scalar";
  EXPECT_EQ(outputOf({0, 5}, "uint8").elementCount(), 0u);
  EXPECT_EQ(outputOf({5, 0}, "uint8").elementCount(), 0u);
  EXPECT_EQ(outputOf({2, 3, 4}, "uint8").elementCount(), 24u);
  EXPECT_EQ(outputOf({std::size_t{1} << 32, std::size_t{1} << 32}, "uint8").elementCount(), 0u) << "wraps mod 2^64";
  EXPECT_EQ(outputOf({std::numeric_limits<std::size_t>::max(), 3}, "uint8").elementCount(),
            std::numeric_limits<std::size_t>::max() - 2);
}

TEST(CameraOutputCounts, ItemSizeTableIsExactAndCaseSensitive) {
  const std::pair<const char*, std::size_t> rows[] = {{"bool", 1},    {"int8", 1},    {"uint8", 1},  {"int16", 2},
                                                      {"uint16", 2},  {"float16", 2}, {"int32", 4},  {"uint32", 4},
                                                      {"float32", 4}, {"int64", 8},   {"uint64", 8}, {"float64", 8}};
  for (const auto& [name, size] : rows) EXPECT_EQ(outputOf({}, name).itemSize(), size) << name;
  for (const char* other :
       {"", "Float32", "FLOAT64", "float32 ", " uint8", "float", "double", "int", "4", "null", "\"uint8\""}) {
    EXPECT_EQ(outputOf({}, other).itemSize(), 0u) << other;
  }
  EXPECT_EQ(outputOf({}, std::string("uint8\0", 6)).itemSize(), 0u) << "no trimming of an embedded NUL";
}

TEST(CameraFrameOutput, ResolvesTopLevelNamesThroughTheirIndex) {
  const CameraFrame two = frameWith(2, named(1));
  ASSERT_NE(two.output("rgb"), nullptr);
  EXPECT_EQ(two.output("rgb"), &two.outputs[1]);
  EXPECT_EQ(frameWith(1, named(1)).output("rgb"), nullptr) << "index past the outputs";
  EXPECT_EQ(frameWith(2, named(-1)).output("rgb"), nullptr) << "-1 wraps to the largest index";
  const CameraFrame truncated = frameWith(2, named(0.9));
  EXPECT_EQ(truncated.output("rgb"), &truncated.outputs[0]) << "0.9 truncates to 0";
  EXPECT_EQ(frameWith(2, named(1e300)).output("rgb"), nullptr);
  EXPECT_EQ(frameWith(2, named(-1e300)).output("rgb"), nullptr);
  EXPECT_EQ(frameWith(2, named(1)).output("RGB"), nullptr) << "names match exactly";
  EXPECT_EQ(frameWith(2, named(1)).output("rgb "), nullptr);
  EXPECT_EQ(frameWith(2, named(1)).output("depth"), nullptr);
}

TEST(CameraFrameOutput, MissesAreNullAndOnlyANonNumberIndexThrows) {
  for (const Json& entry : {Json(1), Json("x"), Json::array({Json{{"__ndarray__", 0}}}), Json(nullptr), Json::object(),
                            Json{{"__NDARRAY__", 0}}}) {
    EXPECT_EQ(frameWith(2, {{"rgb", entry}}).output("rgb"), nullptr) << entry;
  }
  for (const Json& structure : {Json(nullptr), Json::array({named(0)}), Json("rgb"), Json(0)}) {
    EXPECT_EQ(frameWith(2, structure).output("rgb"), nullptr) << structure;
  }
  EXPECT_EQ(frameWith(2, {{"camera", named(0)}}).output("rgb"), nullptr) << "nested names are not searched";
  for (const auto& entry : {std::pair<Json, std::string>{"1", "string"},
                            {true, "boolean"},
                            {nullptr, "null"},
                            {Json::array({1}), "array"}}) {
    EXPECT_THROW_MSG(frameWith(2, named(entry.first)).output("rgb"), Json::type_error,
                     "[json.exception.type_error.302] type must be number, but is " + entry.second);
  }
}

TEST(CameraOutputView, ReadsElementsOfTheMatchingType) {
  const std::vector<float> floats = {1.5f, -2.25f, 1024.0f, 0.0f};
  const CameraOutput output = outputHolding(floats, "float32");
  const OutputView<float> view = output.as<float>();
  ASSERT_EQ(view.size(), 4u);
  EXPECT_EQ(view[1], -2.25f);
  EXPECT_EQ(view.at(2), 1024.0f);
  EXPECT_EQ(view.toVector(), floats);
  EXPECT_EQ(std::accumulate(view.begin(), view.end(), 0.0), 1023.25);
  EXPECT_THROW(view.at(4), std::out_of_range);

  const std::vector<std::int64_t> wide = {-1, std::numeric_limits<std::int64_t>::min()};
  EXPECT_EQ(outputHolding(wide, "int64").as<std::int64_t>().toVector(), wide);
  const std::vector<double> doubles = {0.1, -1e308};
  EXPECT_EQ(outputHolding(doubles, "float64").as<double>().toVector(), doubles);
  EXPECT_TRUE(outputOf({0, 3}, "uint16").as<std::uint16_t>().empty());
  EXPECT_EQ(outputOf({}, "uint32", 4).as<std::uint32_t>().size(), 1u) << "an empty shape is one element";
}

TEST(CameraOutputView, BoolElementsAreNonZeroBytes) {
  CameraOutput output = outputOf({4}, "bool");
  output.data = {std::byte{0}, std::byte{1}, std::byte{2}, std::byte{0xFF}};
  EXPECT_EQ(output.as<bool>().toVector(), (std::vector<bool>{false, true, true, true}));
}

TEST(CameraOutputView, ReadsUnalignedBytesSafely) {
  // Views never form a T* into the bytes; one starting at an odd address reads the same values.
  const std::vector<double> values = {1.25, -7.5, 1e-300};
  std::vector<std::byte> buffer(1 + sizeof(double) * values.size());
  std::memcpy(buffer.data() + 1, values.data(), sizeof(double) * values.size());
  const OutputView<double> view(buffer.data() + 1, values.size());
  EXPECT_EQ(view.toVector(), values);
  EXPECT_EQ(view[2], 1e-300);
}

TEST(CameraOutputView, RejectsAnotherDtypeOrAMismatchedByteCount) {
  const CameraOutput floats = outputOf({2, 2}, "float32", 16);
  EXPECT_THROW_MSG(floats.as<std::uint8_t>(), std::invalid_argument,
                   "camera output has dtype \"float32\", not \"uint8\"");
  EXPECT_THROW_MSG(floats.as<double>(), std::invalid_argument, "camera output has dtype \"float32\", not \"float64\"");
  EXPECT_THROW_MSG(outputOf({4}, "Float32", 16).as<float>(), std::invalid_argument,
                   "camera output has dtype \"Float32\", not \"float32\"");
  EXPECT_THROW_MSG(outputOf({4}, "float16", 8).as<std::uint16_t>(), std::invalid_argument,
                   "camera output has dtype \"float16\", not \"uint16\"");
  EXPECT_THROW_MSG(outputOf({2, 2}, "uint8", 6).as<std::uint8_t>(), std::invalid_argument,
                   "camera output holds 6 bytes, but shape [2, 2] of uint8 needs 4");
  EXPECT_THROW_MSG(outputOf({3}, "float32", 16).as<float>(), std::invalid_argument,
                   "camera output holds 16 bytes, but shape [3] of float32 needs 12");
  // 2^62 floats need 2^64 bytes: a wrapping product would claim 0 and let the view read past the data.
  EXPECT_THROW_MSG(outputOf({std::size_t{1} << 62}, "float32").as<float>(), std::invalid_argument,
                   "camera output holds 0 bytes, but shape [4611686018427387904] of float32 needs more than 2^64");
  EXPECT_THROW_MSG(outputOf({std::size_t{1} << 32, std::size_t{1} << 32}, "uint8").as<std::uint8_t>(),
                   std::invalid_argument,
                   "camera output holds 0 bytes, but shape [4294967296, 4294967296] of uint8 needs more than 2^64");
  EXPECT_TRUE(outputOf({std::size_t{1} << 63, 4, 0}, "int32").as<std::int32_t>().empty())
      << "a zero dimension makes any shape empty";
  EXPECT_THROW_MSG(detail::checkedElementCount(outputOf({}, "rgb"), "rgb"), std::invalid_argument,
                   "camera output dtype \"rgb\" has no element size");
}

}  // namespace
}  // namespace corvane
