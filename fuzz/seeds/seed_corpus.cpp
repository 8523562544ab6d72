#include "seed_corpus.hpp"

#include <cstdint>
#include <limits>

#include "frame_writer.hpp"

namespace frame_seeds {
namespace {

using Json = nlohmann::json;

Json descriptor(const Json& shape, const Json& dtype, const Json& offset, const Json& nbytes) {
  return {{"shape", shape}, {"dtype", dtype}, {"offset", offset}, {"nbytes", nbytes}};
}

Json named(int index) { return {{"__ndarray__", index}}; }

std::string header(std::uint32_t length) {
  std::string text = "CVB1";
  for (int shift = 0; shift < 32; shift += 8) text.push_back(static_cast<char>((length >> shift) & 0xFF));
  return text;
}

std::string writerFrame() {
  frame_writer::FrameWriter writer;
  const unsigned char rgb[12] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9};
  const float depth[4] = {0.5f, 1.0f, 1.5f, -2.0f};
  writer.add("rgb", {2, 2, 3}, "uint8", rgb, sizeof rgb);
  writer.add("depth", {2, 2}, "float32", depth, sizeof depth);
  writer.structure()["pose"] = {{"position", {0.1, 0.2, 0.3}}, {"orientation", {1, 0, 0, 0}}};
  return writer.finish();
}

std::string allDtypes() {
  frame_writer::FrameWriter writer;
  const char* names[] = {"bool",  "int8",   "uint8",   "int16", "uint16", "float16",
                         "int32", "uint32", "float32", "int64", "uint64", "float64"};
  const std::size_t sizes[] = {1, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8};
  for (std::size_t i = 0; i < 12; ++i) {
    const std::size_t index = writer.reserve(names[i], {3}, names[i], 3 * sizes[i]);
    for (std::size_t b = 0; b < 3 * sizes[i]; ++b) writer.data(index)[b] = static_cast<char>(b * 37 + i);
  }
  return writer.finish();
}

void addValid(std::vector<Seed>& seeds) {
  const std::string payload = "0123456789abcdef";
  const auto frame = [&](const Json& arrays, const Json& structure) {
    return frame_writer::encodeFrame({{"structure", structure}, {"arrays", arrays}}, payload);
  };
  seeds.push_back({"valid_writer", writerFrame(), true});
  seeds.push_back({"valid_all_dtypes", allDtypes(), true});
  seeds.push_back({"valid_scalar_and_empty",
                   frame(Json::array({descriptor(Json::array(), "float64", 0, 8), descriptor({0, 5}, "int16", 16, 0)}),
                         {{"s", named(0)}, {"e", named(1)}}),
                   true});
  seeds.push_back({"valid_arrays_object",
                   frame({{"b", descriptor({2}, "int8", 2, 2)}, {"a", descriptor({1}, "uint16", 0, 2)}},
                         {{"a", named(0)}, {"b", named(1)}}),
                   true});
  seeds.push_back({"valid_arrays_null", frame(nullptr, {{"meta", {{"t", 1.5}, {"names", {"x", "é"}}}}}), true});
  seeds.push_back({"valid_arrays_empty", frame(Json::array(), Json::array({1, nullptr})), true});
  seeds.push_back({"valid_overlap",
                   frame(Json::array({descriptor({4}, "uint8", 1, 4), descriptor({1}, "float32", 1, 4)}),
                         {{"x", named(0)}, {"y", named(1)}, {"z", named(-1)}, {"w", named(7)}}),
                   true});
  seeds.push_back({"valid_offset_at_end", frame(Json::array({descriptor({0}, "uint8", 16, 0)}), nullptr), true});
  seeds.push_back({"valid_float_numbers",
                   frame(Json::array({descriptor({2.5, 1e300}, "uint8", 2.9, 3.99)}), {{"f", {{"__ndarray__", 0.9}}}}),
                   true});
  seeds.push_back({"valid_dtype_values",
                   frame(Json::array({descriptor({1}, 4, 0, 1), descriptor({1}, nullptr, 0, 1),
                                      descriptor({1}, Json::array({1, "é", {{"k", true}}}), 0, 1)}),
                         {{"n", {{"__ndarray__", "0"}}}}),
                   true});
  seeds.push_back({"valid_nbytes_mismatch", frame(Json::array({descriptor({2, 2}, "uint8", 0, 6)}), nullptr), true});
  const std::string padded = " {\"arrays\":[],\"extra\":[1,2],\"structure\":{}} \n\t\r";
  seeds.push_back({"valid_padded_manifest", frame_writer::encodeFrameText(padded, "tail"), true});
}

void addRejected(std::vector<Seed>& seeds) {
  const std::string payload = "0123456789";
  const auto frame = [&](const Json& manifest) { return frame_writer::encodeFrame(manifest, payload); };
  const auto arraysOf = [&](const Json& arrays) {
    return frame({{"structure", {{"a", named(0)}}}, {"arrays", arrays}});
  };
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::string manifest = R"({"structure":{},"arrays":[]})";

  seeds.push_back({"bad_short", std::string("CVB1\0\0\0", 7), false});
  seeds.push_back({"bad_magic", "CVB2" + header(2).substr(4) + "{}", false});
  seeds.push_back({"bad_empty_manifest", header(0), false});
  seeds.push_back({"bad_manifest_too_long", header(manifest.size() + 1) + manifest, false});
  seeds.push_back({"bad_manifest_huge", header(0xFFFFFFFFu) + manifest, false});
  seeds.push_back({"bad_manifest_trailing", frame_writer::encodeFrameText(manifest + " x", ""), false});
  seeds.push_back({"bad_manifest_comment", frame_writer::encodeFrameText("/**/" + manifest, ""), false});
  seeds.push_back({"bad_manifest_array", frame(Json::array({1})), false});
  seeds.push_back({"bad_no_structure", frame({{"arrays", Json::array()}}), false});
  seeds.push_back({"bad_no_arrays", frame({{"structure", 1}}), false});
  seeds.push_back({"bad_arrays_scalar", arraysOf(5), false});
  seeds.push_back({"bad_descriptor_empty", arraysOf(Json::array({Json::object()})), false});
  seeds.push_back({"bad_no_dtype", arraysOf(Json::array({{{"shape", {1}}, {"offset", 0}, {"nbytes", 1}}})), false});
  seeds.push_back(
      {"bad_no_nbytes", arraysOf(Json::array({{{"shape", {1}}, {"dtype", "int8"}, {"offset", 0}}})), false});
  seeds.push_back({"bad_shape_string", arraysOf(Json::array({descriptor("2x2", "uint8", 0, 4)})), false});
  seeds.push_back({"bad_shape_bool", arraysOf(Json::array({descriptor({true}, "uint8", 0, 1)})), false});
  seeds.push_back({"bad_offset_past_end", arraysOf(Json::array({descriptor({1}, "uint8", 11, 0)})), false});
  seeds.push_back({"bad_offset_minus_one", arraysOf(Json::array({descriptor({1}, "uint8", -1, 1)})), false});
  seeds.push_back({"bad_sum_wraps", arraysOf(Json::array({descriptor({1}, "uint8", max, 2)})), false});
  seeds.push_back({"bad_offset_huge_float", arraysOf(Json::array({descriptor({1}, "uint8", 1e300, 0)})), false});
  seeds.push_back({"bad_third_descriptor",
                   arraysOf(Json::array({descriptor({1}, "uint8", 0, 1), descriptor({1}, "uint8", 1, 1),
                                         descriptor({1}, "uint8", 9, 2)})),
                   false});
}

}  // namespace

std::vector<Seed> seedFrames() {
  std::vector<Seed> seeds;
  addValid(seeds);
  addRejected(seeds);
  return seeds;
}

}  // namespace frame_seeds
