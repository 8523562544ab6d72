// Camera operations against the test bridge: what each sends (method, path, body), and what comes back.
#include <gtest/gtest.h>

#include <cstring>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "frame_writer.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using testing::Reply;
using testing::TestBridge;

IsaacSimClient clientFor(const TestBridge& bridge, int retries = 0) {
  return IsaacSimClient("camera-test", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, retries);
}

// rgb: uint8 [1, 2, 3]; depth: float32 [2]; plus a pose the library passes through untouched.
std::string sampleFrame() {
  frame_writer::FrameWriter writer;
  const unsigned char rgb[6] = {255, 0, 0, 0, 128, 7};
  const float depth[2] = {1.5f, 42.0f};
  writer.add("rgb", {1, 2, 3}, "uint8", rgb, sizeof rgb);
  writer.add("depth", {2}, "float32", depth, sizeof depth);
  writer.structure()["pose"] = {{"position", {0.5, 0, 1}}};
  return writer.finish();
}

TEST(CameraCreate, SendsPrimPathAndOnlyThePresentOptions) {
  TestBridge bridge;
  bridge.enqueue(Reply::json(200, "{\"created\":true}"));
  IsaacSimClient client = clientFor(bridge);
  EXPECT_EQ(client.camera.create("/World/Camera"), Json({{"created", true}}));
  auto request = bridge.lastRequest();
  EXPECT_EQ(request.method, "PUT");
  EXPECT_EQ(request.target, "/cameras");
  EXPECT_EQ(request.body, "{\"prim_path\":\"/World/Camera\"}");
  ASSERT_NE(request.header("Content-Type"), nullptr);
  EXPECT_EQ(*request.header("Content-Type"), "application/json");

  EXPECT_EQ(client.camera.create("/World/Camera", std::vector<int>{}), Json::object()) << "fallback reply {}";
  EXPECT_EQ(bridge.lastRequest().body, "{\"prim_path\":\"/World/Camera\",\"resolution\":[]}");
  client.camera.create("/World/Kamera\xC3\xA9", std::vector<int>{640, -480}, 30.0);
  EXPECT_EQ(bridge.lastRequest().body,
            "{\"frequency\":30.0,\"prim_path\":\"/World/Kamera\xC3\xA9\",\"resolution\":[640,-480]}");
  client.camera.create("c", std::nullopt, 0.0);
  EXPECT_EQ(bridge.lastRequest().body, "{\"frequency\":0.0,\"prim_path\":\"c\"}");
}

TEST(CameraCreate, FailuresReachTheCaller) {
  TestBridge bridge;
  IsaacSimClient client = clientFor(bridge);
  EXPECT_THROW_PREFIX(client.camera.create("/World/\xFF"), Json::type_error, "[json.exception.type_error.316]");
  EXPECT_EQ(bridge.requestCount(), 0u) << "nothing is sent when the body cannot be serialised";
  bridge.enqueue(Reply::json(409, "{\"error\":\"exists\"}"));  // 409 is retryable; with no retries it is final
  EXPECT_HTTP_ERROR(client.camera.create("/World/Camera"), 409, "{\"error\":\"exists\"}");
  bridge.enqueue(Reply::json(200, "created"));
  EXPECT_THROW(client.camera.create("/World/Camera"), Json::parse_error);
}

TEST(CameraRemove, SendsDeleteToThePrimPathUnchanged) {
  TestBridge bridge;
  bridge.enqueue(Reply::json(200, ""));
  IsaacSimClient client = clientFor(bridge);
  client.camera.remove("/World/Camera");
  EXPECT_EQ(bridge.lastRequest().method, "DELETE");
  EXPECT_EQ(bridge.lastRequest().target, "/cameras//World/Camera");
  EXPECT_EQ(bridge.lastRequest().body, "");
  EXPECT_EQ(bridge.lastRequest().header("Content-Type"), nullptr);
  client.camera.remove("");
  EXPECT_EQ(bridge.lastRequest().target, "/cameras/");
  bridge.enqueue(Reply::json(404, "no camera"));
  EXPECT_THROW(client.camera.remove("/World/Nothing"), HTTPError);
}

TEST(CameraCapture, BodiesCarryOnlyThePresentOptions) {
  TestBridge bridge;
  bridge.setFallback(Reply::frame(200, sampleFrame()));
  IsaacSimClient client = clientFor(bridge);
  (void)client.camera.capture("/World/Camera");
  EXPECT_EQ(bridge.lastRequest().method, "POST");
  EXPECT_EQ(bridge.lastRequest().target, "/cameras//World/Camera/capture");
  EXPECT_EQ(bridge.lastRequest().body, "{}") << "an empty object, not an empty body";
  ASSERT_NE(bridge.lastRequest().header("Content-Type"), nullptr);
  (void)client.camera.capture("/World/Camera", std::nullopt, false);
  EXPECT_EQ(bridge.lastRequest().body, "{\"world_frame\":false}");
  (void)client.camera.capture("/World/Camera", std::vector<std::string>{});
  EXPECT_EQ(bridge.lastRequest().body, "{\"data_types\":[]}");
  (void)client.camera.capture("/World/Camera", std::vector<std::string>{"rgb", "distance_to_camera"}, true);
  EXPECT_EQ(bridge.lastRequest().body, "{\"data_types\":[\"rgb\",\"distance_to_camera\"],\"world_frame\":true}");

  const std::size_t sent = bridge.requestCount();
  EXPECT_THROW((void)client.camera.capture("/World/Camera", std::vector<std::string>{"\xC3"}), Json::type_error);
  EXPECT_EQ(bridge.requestCount(), sent) << "nothing is sent when a data type is not UTF-8";
  (void)client.camera.capture("/World/\xFF");  // the prim path goes only into the path, which is not serialised
  EXPECT_EQ(bridge.requestCount(), sent + 1);
  // libcurl itself percent-encodes bytes above 0x7F on the wire ("%ff" with libcurl 8.14).
  const std::string target = bridge.lastRequest().target;
  EXPECT_EQ(target.rfind("/cameras//World/", 0), 0u) << target;
  EXPECT_EQ(target.substr(target.size() - 8), "/capture") << target;
}

TEST(CameraCapture, ReturnsTheDecodedFrame) {
  TestBridge bridge;
  bridge.enqueue(Reply::frame(200, sampleFrame()));
  IsaacSimClient client = clientFor(bridge);
  const CameraFrame frame = client.camera.capture("/World/Camera", std::vector<std::string>{"rgb", "depth"});
  ASSERT_EQ(frame.outputs.size(), 2u);
  EXPECT_EQ(frame.structure["pose"], Json({{"position", {0.5, 0, 1}}}));
  const CameraOutput* rgb = frame.output("rgb");
  ASSERT_NE(rgb, nullptr);
  EXPECT_EQ(rgb->shape, (std::vector<std::size_t>{1, 2, 3}));
  EXPECT_EQ(rgb->as<std::uint8_t>().toVector(), (std::vector<std::uint8_t>{255, 0, 0, 0, 128, 7}));
  const CameraOutput* depth = frame.output("depth");
  ASSERT_NE(depth, nullptr);
  EXPECT_EQ(depth->itemSize(), 4u);
  EXPECT_EQ(depth->as<float>().toVector(), (std::vector<float>{1.5f, 42.0f}));
  EXPECT_EQ(frame.output("pose"), nullptr);
}

TEST(CameraCapture, FailuresReachTheCaller) {
  TestBridge bridge;
  bridge.enqueue(Reply::frame(500, sampleFrame()), 2);
  IsaacSimClient client = clientFor(bridge, 1);
  EXPECT_HTTP_ERROR(client.camera.capture("/World/Camera"), 500, sampleFrame());
  EXPECT_EQ(bridge.requestCount(), 2u) << "retried by the request engine, then reported";

  bridge.enqueue(Reply::json(200, "{\"error\":\"no camera\"}"));
  EXPECT_THROW_MSG(client.camera.capture("/World/Camera"), std::runtime_error,
                   "camera response is not a binary frame: expected it to start with \"CVB1\"");
}

}  // namespace
}  // namespace corvane
