// Replays the fuzz seed frames and every input that once crashed the decoder under the fuzzer, so each
// build checks them without libFuzzer: documented rejections only, and faithful outputs when decoded.
#include <gtest/gtest.h>

#include <filesystem>

#include "file_bytes.hpp"
#include "frame_check.hpp"
#include "seed_corpus.hpp"

namespace corvane {
namespace {

TEST(FrameCorpus, SeedsDecodeOrAreRejectedAsExpected) {
  const auto seeds = frame_seeds::seedFrames();
  ASSERT_GE(seeds.size(), 30u);
  std::size_t valid = 0;
  for (const frame_seeds::Seed& seed : seeds) {
    std::string problem;
    const frame_check::Outcome outcome = frame_check::decodeChecked(seed.bytes, problem);
    EXPECT_EQ(outcome == frame_check::Outcome::decoded, seed.valid) << seed.name;
    EXPECT_EQ(problem, "") << seed.name;
    valid += seed.valid ? 1 : 0;
  }
  EXPECT_GE(valid, 10u);
  EXPECT_GE(seeds.size() - valid, 15u);
}

TEST(FrameCorpus, OnceCrashingInputsAreHandled) {
  std::size_t replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(CORVANE_FRAME_CRASHERS_DIR)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    std::string problem;
    EXPECT_NO_THROW(frame_check::decodeChecked(testing::fileBytes(entry.path()), problem)) << entry.path();
    EXPECT_EQ(problem, "") << entry.path();
    ++replayed;
  }
  RecordProperty("replayed", static_cast<int>(replayed));
}

TEST(FrameCorpus, TheCheckerNoticesAnOutputThatIsNotFromItsRegion) {
  // Guards the guard: a frame whose output bytes were altered after decoding must be reported.
  const std::string body = frame_seeds::seedFrames().front().bytes;
  HttpResponse response;
  response.status = 200;
  response.body = body;
  CameraFrame frame = detail::decodeFrame(response);
  ASSERT_FALSE(frame.outputs.empty());
  EXPECT_EQ(frame_check::outputsInsideBody(frame, body), "");
  CameraFrame altered = frame;
  altered.outputs[0].data[0] ^= std::byte{0x5A};
  EXPECT_EQ(frame_check::outputsInsideBody(altered, body), "an output's bytes differ from its region of the payload");
  frame.outputs.pop_back();
  EXPECT_EQ(frame_check::outputsInsideBody(frame, body), "fewer outputs than descriptors");
}

TEST(FrameCorpus, TheCheckerPlacesAFloatingOffsetExactly) {
  // Offset 2.9 names payload bytes 2 and 3 ("cd"); "ab" also occurs in the payload, but not there.
  const std::string manifest =
      R"({"arrays":[{"dtype":"uint8","nbytes":2,"offset":2.9,"shape":[2]}],"structure":{"a":{"__ndarray__":0}}})";
  std::string body = "CVB1";
  for (int i = 0; i < 4; ++i) body.push_back(static_cast<char>((manifest.size() >> (8 * i)) & 0xFF));
  body += manifest + "abcdab";
  HttpResponse response;
  response.status = 200;
  response.body = body;
  CameraFrame frame = detail::decodeFrame(response);
  EXPECT_EQ(frame_check::outputsInsideBody(frame, body), "");
  frame.outputs[0].data = {std::byte{'a'}, std::byte{'b'}};
  EXPECT_EQ(frame_check::outputsInsideBody(frame, body), "an output's bytes differ from its region of the payload");
}

}  // namespace
}  // namespace corvane
