// The frame decoder's fast manifest reader against the general (nlohmann/json) decoder: on every input it
// either gives up or ends exactly as the general decoder does.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "camera/manifest_reader.hpp"
#include "fast_path_check.hpp"
#include "frame_writer.hpp"
#include "seed_corpus.hpp"

namespace corvane {
namespace {

using fast_path_check::Verdict;
using Json = nlohmann::json;

const std::string kPayload = "0123456789abcdef";

Verdict verdictOn(const std::string& body) {
  std::string problem;
  const Verdict verdict = fast_path_check::compareDecoders(body, problem);
  EXPECT_EQ(problem, "") << body.substr(8);
  return verdict;
}

// A manifest text with "structure" set to `structure` and one valid descriptor.
std::string withStructure(const std::string& structure) {
  return frame_writer::encodeFrameText(
      R"({"structure":)" + structure + R"(,"arrays":[{"shape":[2],"dtype":"uint8","offset":1,"nbytes":2}]})", kPayload);
}

std::string withArrays(const std::string& arrays) {
  return frame_writer::encodeFrameText(R"({"structure":{"a":{"__ndarray__":0}},"arrays":)" + arrays + "}", kPayload);
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ManifestReader, AgreesOnTheSeedsAndCrashers) {
  std::size_t fast = 0;
  std::size_t valid = 0;
  for (const frame_seeds::Seed& seed : frame_seeds::seedFrames()) {
    fast += verdictOn(seed.bytes) == Verdict::agreed && seed.valid ? 1 : 0;
    valid += seed.valid ? 1 : 0;
  }
  // The frames the writer produces are in the fast reader's subset; the oddities are not.
  EXPECT_GE(fast, 6u);
  EXPECT_LT(fast, valid);
  std::size_t crashers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(CORVANE_FRAME_CRASHERS_DIR)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    verdictOn(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    ++crashers;
  }
  EXPECT_GE(crashers, 1u);
}

TEST(ManifestReader, ReadsPlainValuesExactlyAsTheGeneralParser) {
  const char* agreed[] = {
      R"({"z":-0,"f":-0.0,"u":0,"t":true,"n":null,"s":"a b~","e":[],"o":{}})",
      R"({"max":18446744073709551615,"min":-9223372036854775808,"m":-9223372036854775807})",
      R"([1e308,1.7976931348623157e308,2.2250738585072011e-308,9007199254740993.0,0.1,5E-1,-2.5e+3])",
      R"({"a":1,"a":{"b":2},"c":[1,2],"c":"last","d":{"x":1},"d":{"y":2},"e":[1],"e":[2]})",
      " \t\r\n[ 1 , { \"k\" : [ ] } ]\n",
      "[\"\x7f\"]",
  };
  for (const char* structure : agreed) {
    EXPECT_EQ(verdictOn(withStructure(structure)), Verdict::agreed) << structure;
  }
  // Underflow: whether the fast reader takes these or not, it must match the general parser's value.
  for (const char* tiny : {"[4.9e-324]", "[2.5e-320]", "[-1e-400]", "[1e-400]"}) verdictOn(withStructure(tiny));
  // nlohmann/json keeps the last of duplicate keys, and stores "-0" as a signed integer.
  const Json parsed = Json::parse(R"({"a":1,"a":{"b":2},"z":-0})");
  EXPECT_EQ(parsed.at("a"), Json({{"b", 2}}));
  EXPECT_TRUE(parsed.at("z").is_number_integer() && !parsed.at("z").is_number_unsigned());
  const auto frame = detail::decodeFrameFast(HttpResponse{200, withStructure(agreed[0]), {}});
  ASSERT_TRUE(frame.has_value());
  EXPECT_TRUE(frame->structure.at("z").is_number_integer() && !frame->structure.at("z").is_number_unsigned());
  EXPECT_TRUE(std::signbit(frame->structure.at("f").get<double>()));
  EXPECT_EQ(frame->structure.at("s"), "a b~");
}

TEST(ManifestReader, AnotherRoundingModeLeavesFloatsToTheGeneralParser) {
  // Rounding upward, strtod (the general parser) gives the double above the nearest one for this text;
  // from_chars does not for long digit strings.
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
  const Verdict floating = verdictOn(withStructure("[0.1234567890123456789]"));
  const Verdict integral = verdictOn(withStructure("[1]"));
  std::fesetround(FE_TONEAREST);
  EXPECT_EQ(floating, Verdict::gaveUp);
  EXPECT_EQ(integral, Verdict::agreed);
}

TEST(ManifestReader, GivesUpOutsideItsSubset) {
  const char* givenUp[] = {
      "1e309",
      "-1e309",
      "18446744073709551616",
      "-9223372036854775809",
      "123456789012345678901234567890",
      R"("a\"b")",
      R"("\u00e9")",
      "\"\xc3\xa9\"",
      "\"tab\there\"",
      "01",
      "1.",
      "-",
      ".5",
      "+1",
      "1e",
      "tru",
      "nul",
      "[1,]",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "[1 2]",
      "\"open",
      "{",
      "[",
      "NaN",
      "\f1",
  };
  for (const char* structure : givenUp) {
    EXPECT_EQ(verdictOn(withStructure(structure)), Verdict::gaveUp) << structure;
  }
  // Nesting: "structure" is itself at the second level.
  EXPECT_EQ(verdictOn(withStructure(nested(detail::kManifestDepthLimit - 1))), Verdict::agreed);
  EXPECT_EQ(verdictOn(withStructure(nested(detail::kManifestDepthLimit))), Verdict::gaveUp);
  EXPECT_EQ(verdictOn(withStructure(nested(200000))), Verdict::gaveUp);
}

TEST(ManifestReader, TopLevelOutsideTheSubsetFallsBack) {
  const char* manifests[] = {
      "",
      "[]",
      R"({"arrays":[]})",
      R"({"structure":{}})",
      R"({"structure":{},"structure":{},"arrays":[]})",
      R"({"structure":{},"arrays":[],"arrays":[]})",
      R"({"structure":{},"arrays":[]} x)",
      R"({"structure":{},"arrays":[]}{})",
      "\xef\xbb\xbf{\"structure\":{},\"arrays\":[]}",
      R"(/**/{"structure":{},"arrays":[]})",
  };
  for (const char* manifest : manifests) {
    EXPECT_EQ(verdictOn(frame_writer::encodeFrameText(manifest, kPayload)), Verdict::gaveUp) << manifest;
  }
  const std::string skipped = R"({"version":[1,{"x":null}],"structure":7,"extra":"s","arrays":[]} )";
  EXPECT_EQ(verdictOn(frame_writer::encodeFrameText(skipped, kPayload)), Verdict::agreed);
}

TEST(ManifestReader, DescriptorVariants) {
  const char* agreed[] = {
      "[]",
      R"([{"nbytes":3,"offset":0,"dtype":"int8","shape":[3],"name":"x","meta":{"k":[1.5]}}])",
      R"([{"shape":[],"dtype":"","offset":16,"nbytes":0}])",
      // The second output reaches past the payload: the same bounds error from both readers.
      R"([{"shape":[1],"dtype":"uint8","offset":0,"nbytes":1},{"shape":[1],"dtype":"uint8","offset":10,"nbytes":7}])",
      R"([{"shape":[1],"dtype":"uint8","offset":18446744073709551615,"nbytes":2}])",
  };
  for (const char* arrays : agreed) EXPECT_EQ(verdictOn(withArrays(arrays)), Verdict::agreed) << arrays;
  const char* givenUp[] = {
      "null",
      "{}",
      "5",
      R"({"a":{"shape":[1],"dtype":"uint8","offset":0,"nbytes":1}})",
      "[5]",
      "[[]]",
      R"([{"shape":[1],"dtype":"uint8","offset":0.0,"nbytes":1}])",
      R"([{"shape":[1],"dtype":"uint8","offset":0,"nbytes":1e0}])",
      R"([{"shape":[1],"dtype":"uint8","offset":-1,"nbytes":1}])",
      R"([{"shape":[-1],"dtype":"uint8","offset":0,"nbytes":1}])",
      R"([{"shape":[1.5],"dtype":"uint8","offset":0,"nbytes":1}])",
      R"([{"shape":2,"dtype":"uint8","offset":0,"nbytes":1}])",
      R"([{"shape":[1],"dtype":5,"offset":0,"nbytes":1}])",
      R"([{"shape":[1],"dtype":"uint8","offset":0}])",
      R"([{"shape":[1],"dtype":"uint8","offset":0,"offset":1,"nbytes":1}])",
      R"([{"shape":[1],"dtype":"uint8","offset":0,"nbytes":18446744073709551616}])",
      // A later descriptor outside the subset sends the whole frame to the general decoder, which then
      // reports the first descriptor's bounds error itself.
      R"([{"shape":[1],"dtype":"uint8","offset":99,"nbytes":1},{"shape":[1]}])",
  };
  for (const char* arrays : givenUp) EXPECT_EQ(verdictOn(withArrays(arrays)), Verdict::gaveUp) << arrays;
}

}  // namespace
}  // namespace corvane
