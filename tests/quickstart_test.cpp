// The quick start, end to end: the quickstart example against the simulated bridge writes two pictures
// of the requested size that show something, and reports a failing step with its error and a non-zero exit.
#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <set>

#include "child_process.hpp"
#include "sim_bridge.hpp"

namespace corvane {
namespace {

using testing::ChildProcess;
using testing::SimBridge;

struct Picture {
  png_uint_32 width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

// Reads a PNG with libpng's simplified API, converted to 8-bit RGB.
Picture readPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) throw std::runtime_error(path + ": " + image.message);
  image.format = PNG_FORMAT_RGB;
  Picture picture{image.width, image.height, std::vector<std::uint8_t>(PNG_IMAGE_SIZE(image))};
  if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
    throw std::runtime_error(path + ": " + image.message);
  }
  return picture;
}

std::size_t distinctColours(const Picture& picture) {
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i + 2 < picture.rgb.size(); i += 3) {
    colours.insert(picture.rgb[i] << 16 | picture.rgb[i + 1] << 8 | picture.rgb[i + 2]);
  }
  return colours.size();
}

TEST(Quickstart, WritesBothPicturesAgainstTheSimulatedBridge) {
  SimBridge bridge;
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "quickstart_test";
  std::filesystem::remove_all(folder);
  ChildProcess quickstart(
      {CORVANE_QUICKSTART_PATH, bridge.server().httpUrl(), bridge.server().wsUrl(), folder.string()});
  const std::string output = quickstart.output();
  ASSERT_EQ(quickstart.wait(), 0) << output << quickstart.errors();
  for (const char* step : {"Create an arm", "Read its joint limits", "Move the joints synchronously",
                           "Open the state stream", "close it", "capture rgb and depth", "done"}) {
    EXPECT_NE(output.find(step), std::string::npos) << "missing step '" << step << "' in:\n" << output;
  }
  EXPECT_NE(output.find("gripper status: closed"), std::string::npos) << output;
  for (const char* name : {"rgb.png", "depth.png"}) {
    const Picture picture = readPng((folder / name).string());
    EXPECT_EQ(picture.width, 640u) << name;
    EXPECT_EQ(picture.height, 480u) << name;
    EXPECT_GT(distinctColours(picture), 10u) << name << " shows more than a flat colour";
  }
  std::filesystem::remove_all(folder);
}

TEST(Quickstart, AFailingStepEndsItWithTheErrorAndANonZeroExit) {
  SimBridge bridge;
  bridge.client().articulation.create("/World/arm");  // the quickstart's arm exists already: 409
  const std::string folder = (std::filesystem::path(::testing::TempDir()) / "quickstart_failing").string();
  ChildProcess quickstart({CORVANE_QUICKSTART_PATH, bridge.server().httpUrl(), bridge.server().wsUrl(), folder});
  quickstart.output();
  EXPECT_EQ(quickstart.wait(), 1);
  const std::string errors = quickstart.errors();
  EXPECT_NE(errors.find("failed: Bridge returned status 409"), std::string::npos) << errors;
  EXPECT_NE(errors.find("already taken"), std::string::npos) << "the bridge's own message: " << errors;
  EXPECT_FALSE(std::filesystem::exists(folder));

  ChildProcess usage({CORVANE_QUICKSTART_PATH});
  EXPECT_EQ(usage.wait(), 2);
  EXPECT_NE(usage.errors().find("usage: corvane-quickstart"), std::string::npos);
}

}  // namespace
}  // namespace corvane
