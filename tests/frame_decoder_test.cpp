// The binary frame decoder: status, header and manifest checks, the walk of "arrays", each descriptor's
// keys and conversions, the bounds test against hostile offsets, and the copies it makes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>

#include "corvane/camera.hpp"
#include "expect_throw.hpp"
#include "frame_writer.hpp"

namespace corvane {
namespace {

using Json = nlohmann::json;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
const char* const kNotAFrame = "camera response is not a binary frame: expected it to start with \"CVB1\"";
const char* const kOutputPastEnd = "camera frame is truncated: an output claims bytes past the end of the body";

HttpResponse responseOf(std::string body, long status = 200) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

CameraFrame decode(const Json& manifest, std::string_view payload = {}) {
  return detail::decodeFrame(responseOf(frame_writer::encodeFrame(manifest, payload)));
}

Json descriptor(const Json& offset, const Json& nbytes, const Json& shape = Json::array(),
                const Json& dtype = "uint8") {
  return {{"shape", shape}, {"dtype", dtype}, {"offset", offset}, {"nbytes", nbytes}};
}

Json manifestOf(const Json& arrays, const Json& structure = Json::object()) {
  return {{"structure", structure}, {"arrays", arrays}};
}

// "CVB1" followed by `length` as four little-endian bytes, then `rest`.
std::string rawFrame(std::uint32_t length, std::string_view rest) {
  std::string body = "CVB1";
  for (int shift = 0; shift < 32; shift += 8) body.push_back(static_cast<char>((length >> shift) & 0xFF));
  return body.append(rest);
}

// nlohmann/json's error `id` with `message`: type errors are 3xx, out-of-range errors 4xx.
template <typename Error>
void expectJsonError(const std::function<void()>& call, int id, const std::string& message) {
  const std::string kind = id < 400 ? "type_error." : "out_of_range.";
  EXPECT_THROW_MSG(call(), Error, "[json.exception." + kind + std::to_string(id) + "] " + message);
}

std::string bytesOf(const CameraOutput& output) {
  return std::string(reinterpret_cast<const char*>(output.data.data()), output.data.size());
}

TEST(FrameDecoderStatus, IsTestedBeforeTheBody) {
  const std::string frame = frame_writer::encodeFrame(manifestOf(Json::array()), "");
  for (long status : {404L, 500L, 199L, 300L, 0L}) {
    EXPECT_HTTP_ERROR(detail::decodeFrame(responseOf(frame, status)), status, frame)
        << "the whole body travels with the error";
  }
  EXPECT_THROW((void)detail::decodeFrame(responseOf("not json at all", 404)), HTTPError)
      << "error bodies are not parsed";
  EXPECT_NO_THROW((void)detail::decodeFrame(responseOf(frame, 299)));
  EXPECT_NO_THROW((void)detail::decodeFrame(responseOf(frame, 200)));
}

TEST(FrameDecoderHeader, MagicAndMinimumSize) {
  for (const std::string& body :
       {std::string("CVB1\0\0\0", 7), std::string(), std::string("CVB1"), rawFrame(2, "{}").replace(3, 1, "2"),
        rawFrame(2, "{}").replace(0, 1, "c"), std::string("{\"structure\":{}}")}) {
    EXPECT_THROW_MSG(detail::decodeFrame(responseOf(body)), std::runtime_error, kNotAFrame) << body.size();
  }
  // 8 bytes with L = 0 passes the header checks and fails as an empty JSON text, with the library's error.
  EXPECT_THROW_PREFIX(detail::decodeFrame(responseOf(rawFrame(0, ""))), Json::parse_error,
                      "[json.exception.parse_error.101] parse error at line 1, column 1: ");
}

TEST(FrameDecoderHeader, ManifestLengthIsBoundedInSixtyFourBits) {
  const std::string twelve = "{\"a\":1}     ";  // 12 bytes, valid JSON, but no "structure"
  const std::string body = rawFrame(12, twelve);
  ASSERT_EQ(body.size(), 20u);
  expectJsonError<Json::out_of_range>([&] { (void)detail::decodeFrame(responseOf(body)); }, 403,
                                      "key 'structure' not found");
  EXPECT_THROW_MSG(detail::decodeFrame(responseOf(rawFrame(13, twelve))), std::runtime_error,
                   "camera frame is truncated: its manifest claims 13 bytes but the body holds 20");
  EXPECT_THROW_MSG(detail::decodeFrame(responseOf(rawFrame(4294967295u, std::string(92, ' ')))), std::runtime_error,
                   "camera frame is truncated: its manifest claims 4294967295 bytes but the body holds 100");
  // A length above 255 must be read little-endian from all four bytes.
  const Json manifest = manifestOf(Json::array(), {{"padding", std::string(400, 'x')}});
  EXPECT_EQ(decode(manifest).structure, manifest["structure"]);
}

TEST(FrameDecoderManifest, IsExactlyOneStrictJsonTextInsideItsLength) {
  const std::string manifest = manifestOf(Json::array()).dump();
  EXPECT_NO_THROW((void)detail::decodeFrame(responseOf(rawFrame(manifest.size() + 3, manifest + " \n\t"))));
  for (const std::string& bad :
       {manifest + " x", manifest + "/* c */", std::string("{/*c*/\"structure\":1,\"arrays\":[]}"),
        manifest.substr(0, manifest.size() - 1)}) {
    EXPECT_THROW((void)detail::decodeFrame(responseOf(rawFrame(bad.size(), bad))), Json::parse_error) << bad;
  }
  // Bytes after the manifest are payload, even when they look like more JSON.
  EXPECT_NO_THROW((void)detail::decodeFrame(responseOf(rawFrame(manifest.size(), manifest + "{\"x\":"))));
}

TEST(FrameDecoderManifest, StructureAndArraysMembers) {
  expectJsonError<Json::type_error>([] { decode(Json::array({1})); }, 304, "cannot use at() with array");
  expectJsonError<Json::type_error>([] { decode("text"); }, 304, "cannot use at() with string");
  expectJsonError<Json::out_of_range>([] { decode({{"arrays", Json::array()}}); }, 403, "key 'structure' not found");
  expectJsonError<Json::out_of_range>([] { decode({{"structure", 1}}); }, 403, "key 'arrays' not found");
  for (const Json& structure : {Json(nullptr), Json(7), Json::array({1, "a"}),
                                Json({{"rgb", {{"__ndarray__", 0}}}, {"pose", {{"t", {1.5, 2}}}}})}) {
    EXPECT_EQ(decode(manifestOf(Json::array(), structure)).structure, structure);
  }
  const CameraFrame empty = decode(manifestOf(nullptr, {{"k", 1}}));
  EXPECT_TRUE(empty.outputs.empty());
  EXPECT_EQ(empty.structure, Json({{"k", 1}})) << "structure is set even without outputs";
}

TEST(FrameDecoderArrays, ObjectMembersAreTakenInKeyOrderAndScalarsFail) {
  const std::string text = R"({"structure":{},"arrays":{"b":{"shape":[2],"dtype":"int8","offset":2,"nbytes":2},)"
                           R"("a":{"shape":[1],"dtype":"uint16","offset":0,"nbytes":2}}})";
  const CameraFrame frame = detail::decodeFrame(responseOf(frame_writer::encodeFrameText(text, "ABCD")));
  ASSERT_EQ(frame.outputs.size(), 2u);
  EXPECT_EQ(frame.outputs[0].dtype, "uint16");
  EXPECT_EQ(bytesOf(frame.outputs[0]), "AB");
  EXPECT_EQ(frame.outputs[1].dtype, "int8");
  EXPECT_EQ(bytesOf(frame.outputs[1]), "CD");
  expectJsonError<Json::type_error>([] { decode(manifestOf(5)); }, 304, "cannot use at() with number");
  expectJsonError<Json::type_error>([] { decode(manifestOf("x")); }, 304, "cannot use at() with string");
  expectJsonError<Json::type_error>([] { decode(manifestOf(true)); }, 304, "cannot use at() with boolean");
}

TEST(FrameDecoderDescriptor, KeysAreReadInFixedOrderWithTheJsonLibrarysErrors) {
  const auto withArray = [](const Json& one) { return [one] { decode(manifestOf(Json::array({one})), "ab"); }; };
  expectJsonError<Json::type_error>(withArray(Json::array()), 304, "cannot use at() with array");
  expectJsonError<Json::type_error>(withArray(nullptr), 304, "cannot use at() with null");
  expectJsonError<Json::out_of_range>(withArray(Json::object()), 403, "key 'shape' not found");
  expectJsonError<Json::out_of_range>(withArray({{"shape", {1}}, {"nbytes", 1}}), 403, "key 'dtype' not found");
  expectJsonError<Json::out_of_range>(withArray({{"shape", {1}}, {"dtype", 1}}), 403, "key 'offset' not found");
  expectJsonError<Json::out_of_range>(withArray({{"shape", {1}}, {"dtype", 1}, {"offset", 0}}), 403,
                                      "key 'nbytes' not found");
  expectJsonError<Json::type_error>(withArray(descriptor(0, 1, Json::object())), 302,
                                    "type must be array, but is object");
  expectJsonError<Json::type_error>(withArray(descriptor(0, 1, "2x2")), 302, "type must be array, but is string");
  expectJsonError<Json::type_error>(withArray(descriptor(0, 1, {2, "3"})), 302, "type must be number, but is string");
  expectJsonError<Json::type_error>(withArray(descriptor(0, 1, {true})), 302, "type must be number, but is boolean");
  expectJsonError<Json::type_error>(withArray(descriptor(false, 1)), 302, "type must be number, but is boolean");
  expectJsonError<Json::type_error>(withArray(descriptor("0", 1)), 302, "type must be number, but is string");
  expectJsonError<Json::type_error>(withArray(descriptor(0, nullptr)), 302, "type must be number, but is null");
  // The shape's type error comes before a bad offset; a bad offset before a bounds failure.
  expectJsonError<Json::type_error>(withArray(descriptor(-1, "x", "s")), 302, "type must be array, but is string");
  expectJsonError<Json::type_error>(withArray(descriptor("0", 99)), 302, "type must be number, but is string");
}

TEST(FrameDecoderDescriptor, NumbersAndDtypeTextAreConverted) {
  const Json dtypes = Json::array({4, nullptr, true, 1.5, Json::array({1, "é"}), Json({{"b", 1}, {"a\"\n", {}}})});
  Json arrays = Json::array();
  for (const Json& dtype : dtypes) arrays.push_back(descriptor(0, 0, {2.9, -1, 0, 1e300, -1e300, -0.5}, dtype));
  arrays.push_back(descriptor(0, 0, Json::array(), "Float32 é"));
  const CameraFrame frame = decode(manifestOf(arrays));
  ASSERT_EQ(frame.outputs.size(), dtypes.size() + 1);
  const std::vector<std::size_t> shape = {2, kMax, 0, kMax, std::uint64_t{1} << 63, 0};
  for (std::size_t i = 0; i < dtypes.size(); ++i) {
    EXPECT_EQ(frame.outputs[i].dtype, dtypes[i].dump()) << i;
    EXPECT_EQ(frame.outputs[i].shape, shape) << i;
  }
  EXPECT_EQ(frame.outputs[0].dtype, "4");
  EXPECT_EQ(frame.outputs[1].dtype, "null");
  EXPECT_EQ(frame.outputs[4].dtype, "[1,\"é\"]") << "compact, non-ASCII kept raw";
  EXPECT_EQ(frame.outputs.back().dtype, "Float32 é") << "strings are taken as they are";
  EXPECT_TRUE(frame.outputs.back().shape.empty());
}

TEST(FrameDecoderBounds, OutputsMustLieInsideThePayload) {
  const std::string payload = "0123456789";  // P = 10
  const auto one = [&](const Json& offset, const Json& nbytes) {
    return decode(manifestOf(Json::array({descriptor(offset, nbytes)})), payload);
  };
  EXPECT_TRUE(one(10, 0).outputs.at(0).data.empty());
  EXPECT_EQ(bytesOf(one(0, 10).outputs.at(0)), payload);
  EXPECT_EQ(bytesOf(one(2.9, 3).outputs.at(0)), "234") << "a floating offset is truncated";
  EXPECT_EQ(bytesOf(one(9, 1.99).outputs.at(0)), "9");
  const Json rejected[][2] = {{11, 0},   {0, 11},   {10, 1},      {-1, 0},
                              {0, -1},   {-1.5, 1}, {1e300, 0},   {0, 1e19},
                              {kMax, 2}, {1, kMax}, {kMax, kMax}, {std::uint64_t{1} << 63, std::uint64_t{1} << 63}};
  for (const auto& pair : rejected) {
    EXPECT_THROW_MSG(one(pair[0], pair[1]), std::runtime_error, kOutputPastEnd) << pair[0] << " " << pair[1];
  }
  // An integer literal beyond 64 bits is parsed as a floating value, and must still fail cleanly.
  const std::string huge = "35555555555555555555555555555555555555555555";
  const auto withTail = [&](const std::string& tail) {
    const std::string text = "{\"structure\":{},\"arrays\":[{\"shape\":[" + huge + "],\"dtype\":\"uint8\"," + tail;
    return detail::decodeFrame(responseOf(frame_writer::encodeFrameText(text, payload)));
  };
  EXPECT_THROW_MSG(withTail("\"offset\":" + huge + ",\"nbytes\":0}]}"), std::runtime_error, kOutputPastEnd);
  const CameraFrame hugeShape = withTail("\"offset\":0,\"nbytes\":1}]}");
  EXPECT_EQ(hugeShape.outputs.at(0).shape, std::vector<std::size_t>{kMax});
  // An empty payload admits only empty outputs at offset 0.
  EXPECT_TRUE(decode(manifestOf(Json::array({descriptor(0, 0)}))).outputs.at(0).data.empty());
  EXPECT_THROW_MSG(decode(manifestOf(Json::array({descriptor(1, 0)}))), std::runtime_error, kOutputPastEnd);
}

TEST(FrameDecoderOutputs, EachOutputOwnsACopyOfItsBytes) {
  std::string payload("\0\x01\xFF\x80zz\0", 7);
  const Json arrays = Json::array({descriptor(0, 6, {2, 2}, "uint8"),  // 6 bytes for 4 elements: kept as is
                                   descriptor(1, 4, {4}, "int8"), descriptor(1, 4, {4}, "int8")});
  const CameraFrame frame = decode(manifestOf(arrays), payload);
  ASSERT_EQ(frame.outputs.size(), 3u);
  EXPECT_EQ(bytesOf(frame.outputs[0]), payload.substr(0, 6));
  EXPECT_EQ(frame.outputs[0].shape, (std::vector<std::size_t>{2, 2}));
  EXPECT_EQ(frame.outputs[0].elementCount(), 4u);
  EXPECT_EQ(bytesOf(frame.outputs[1]), payload.substr(1, 4));
  EXPECT_EQ(frame.outputs[1].data, frame.outputs[2].data);
  EXPECT_NE(frame.outputs[1].data.data(), frame.outputs[2].data.data()) << "overlapping outputs are separate copies";
}

TEST(FrameDecoderOutputs, AnErrorInALaterDescriptorFailsTheWholeFrame) {
  const Json arrays = Json::array({descriptor(0, 1), descriptor(1, 1), descriptor(2, 5)});
  EXPECT_THROW_MSG(decode(manifestOf(arrays), "abc"), std::runtime_error, kOutputPastEnd);
  Json missing = arrays;
  missing[2].erase("dtype");
  expectJsonError<Json::out_of_range>([&] { decode(manifestOf(missing), "abc"); }, 403, "key 'dtype' not found");
}

TEST(FrameDecoderRobustness, DeepNestingDoesNotExhaustTheStack) {
  // A few hundred thousand levels would overflow the stack of any recursive copy or serialisation.
  constexpr std::size_t kDepth = 400000;
  const std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  const std::string text =
      "{\"structure\":" + deep + ",\"arrays\":[{\"shape\":[],\"dtype\":" + deep + ",\"offset\":0,\"nbytes\":0}]}";
  const CameraFrame frame = detail::decodeFrame(responseOf(frame_writer::encodeFrameText(text, "")));
  ASSERT_EQ(frame.outputs.size(), 1u);
  EXPECT_EQ(frame.outputs[0].dtype, deep);
  EXPECT_TRUE(frame.structure.is_array());
  EXPECT_EQ(frame.output("x"), nullptr);
}

}  // namespace
}  // namespace corvane
