// Frames whose outputs are views of the reply: the same frames and errors as the owning decoder, views that
// outlive their frame and client, misaligned outputs, and replies without a length or cut short.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "file_bytes.hpp"
#include "frame_writer.hpp"
#include "seed_corpus.hpp"
#include "shared_road_check.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::Reply;
using testing::TestBridge;

// rgb: uint8 [1, 2, 3] at payload offset 0; depth: float32 [2] right after it, at offset 6 (misaligned).
std::string sampleFrame() {
  frame_writer::FrameWriter writer;
  const unsigned char rgb[6] = {255, 0, 0, 0, 128, 7};
  const float depth[2] = {1.5f, 42.0f};
  writer.add("rgb", {1, 2, 3}, "uint8", rgb, sizeof rgb);
  writer.add("depth", {2}, "float32", depth, sizeof depth);
  return writer.finish();
}

TEST(SharedFrame, DecodesEveryCorpusBodyAsTheOwningDecoderDoes) {
  std::vector<std::string> bodies;
  for (const frame_seeds::Seed& seed : frame_seeds::seedFrames()) bodies.push_back(seed.bytes);
  for (const auto& entry : std::filesystem::directory_iterator(CORVANE_FRAME_CRASHERS_DIR)) {
    if (entry.path().extension() != ".md") bodies.push_back(testing::fileBytes(entry.path()));
  }
  for (const std::string& body : bodies) {
    std::string problem;
    shared_road_check::compareRoads(body, problem);
    EXPECT_EQ(problem, "") << ::testing::PrintToString(body);
  }
  // A failure status wins over a valid frame, with the whole body, as on the owning road.
  const std::string frame = sampleFrame();
  const auto held = std::make_shared<const std::string>(frame);
  const std::shared_ptr<const std::byte> bytes(held, reinterpret_cast<const std::byte*>(held->data()));
  EXPECT_HTTP_ERROR((void)detail::decodeSharedFrame(404, bytes, frame.size()), 404, frame);
}

TEST(SharedFrame, ViewsOutliveTheirFrameAndClient) {
  std::optional<SharedOutput> depth;
  OutputView<std::uint8_t> rgb;
  {
    TestBridge bridge;
    bridge.enqueue(Reply::frame(200, sampleFrame()));
    IsaacSimClient client("shared", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
    const SharedFrame frame = client.camera.captureShared("/World/Camera");
    ASSERT_EQ(frame.outputs().size(), 2u);
    const std::byte* reply = frame.reply().get();
    for (const SharedOutput& output : frame.outputs()) {  // views of the one reply, not copies
      EXPECT_GE(output.data(), reply);
      EXPECT_LE(output.data() + output.nbytes(), reply + frame.replySize());
    }
    EXPECT_EQ(frame.output("rgb")->data() + 6, frame.output("depth")->data());
    depth = *frame.output("depth");
    rgb = frame.output("rgb")->as<std::uint8_t>();
    const CameraFrame owned = frame.toCameraFrame();
    EXPECT_EQ(owned.output("depth")->data.size(), 8u);
    EXPECT_EQ(owned.outputs[0].as<std::uint8_t>().toVector(), rgb.toVector());
  }
  EXPECT_EQ(rgb.toVector(), (std::vector<std::uint8_t>{255, 0, 0, 0, 128, 7}));
  EXPECT_EQ(depth->as<float>().toVector(), (std::vector<float>{1.5f, 42.0f}));
}

// The reply is placed so that its payload starts on a 64-byte boundary: outputs at offsets that are
// multiples of their element size are aligned; others are read by value, never through a misaligned T*.
TEST(SharedFrame, MisalignedOutputsAreReadByValue) {
  TestBridge bridge;
  bridge.enqueue(Reply::frame(200, sampleFrame()), 3);
  IsaacSimClient client("shared", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  const SharedFrame frame = client.camera.captureShared("/World/Camera");
  const SharedOutput& rgb = *frame.output("rgb");
  const SharedOutput& depth = *frame.output("depth");
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(rgb.data()) % 64, 0u);
  EXPECT_TRUE(rgb.aligned());
  EXPECT_FALSE(depth.aligned());
  EXPECT_EQ(depth.as<float>().at(1), 42.0f);
  const std::vector<SharedFrame> both = client.camera.captureAllShared({"/a", "/b"});
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[1].output("depth")->as<float>().toVector(), (std::vector<float>{1.5f, 42.0f}));
}

// A frame large enough to grow its buffer several times, sent without Content-Length (the body ends when
// the connection closes), and the same frame with a length that promises more than comes.
TEST(SharedFrame, RepliesWithoutLengthGrowAndCutRepliesFail) {
  frame_writer::FrameWriter writer;
  std::vector<std::uint32_t> values(3 << 20);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint32_t>(i * 2654435761u);
  writer.add("seg", {values.size()}, "uint32", values.data(), values.size() * 4);
  const std::string body = writer.finish();
  TestBridge bridge;
  bridge.enqueue(Reply::rawBytes("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body));
  bridge.enqueue(
      Reply::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size() + 10) + "\r\n\r\n" + body));
  bridge.enqueue(Reply::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size() - 10) + "\r\n\r\n" +
                                 body.substr(0, body.size() - 10)));
  IsaacSimClient client("shared", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0);
  const SharedFrame frame = client.camera.captureShared("/C");
  EXPECT_EQ(frame.output("seg")->as<std::uint32_t>().toVector(), values);
  EXPECT_TRUE(frame.output("seg")->aligned());
  EXPECT_THROW((void)client.camera.captureShared("/C"), TransportError);
  EXPECT_THROW_MSG((void)client.camera.captureShared("/C"), FrameError,
                   "camera frame is truncated: an output claims bytes past the end of the body");
}

}  // namespace
}  // namespace corvane
