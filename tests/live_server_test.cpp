// The live server through a WebSocket client of its own (Boost.Beast): the protocol, what a viewer sees of a
// client next to a recorder, newest-wins queues and stalled viewers, and hostile input.
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "corvane/live/live_server.hpp"
#include "corvane/record/recorder.hpp"
#include "corvane/record/recording_reader.hpp"
#include "instrumented.hpp"
#include "sim_bridge.hpp"

namespace corvane {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using namespace std::chrono_literals;

LiveServerOptions quick() {
  LiveServerOptions o;
  o.port = 0;
  return o;
}

// A viewer: a blocking WebSocket client with a read timeout.
class Viewer {
 public:
  Viewer(std::uint16_t port, const std::string& subprotocol = "foxglove.websocket.v1") : ws_(ioc_) {
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    ws_.set_option(websocket::stream_base::decorator(
        [subprotocol](websocket::request_type& r) { r.set(http::field::sec_websocket_protocol, subprotocol); }));
    websocket::response_type response;
    ws_.handshake(response, "127.0.0.1", "/");
    accepted = std::string(response[http::field::sec_websocket_protocol]);
    info = nextJson("serverInfo");
  }

  // The next message, or nullopt after `limit` (the read stays pending for the next call); binary messages
  // come back with `binary` set, the end of the connection sets `closed`.
  std::optional<std::string> next(std::chrono::milliseconds limit = 5000ms) {
    if (closed) return std::nullopt;
    if (!reading_) {
      reading_ = true;
      done_ = false;
      ws_.async_read(buffer_, [this](beast::error_code ec, std::size_t) {
        error_ = ec;
        done_ = true;
      });
    }
    ioc_.restart();
    ioc_.run_for(limit);
    if (!done_) return std::nullopt;
    reading_ = false;
    if (error_) {
      closed = true;
      return std::nullopt;
    }
    binary = ws_.got_binary();
    std::string message = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    return message;
  }
  // Reads until the server ends the connection (false if it has not within `limit`).
  bool readToClose(std::chrono::seconds limit = 20s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!closed && std::chrono::steady_clock::now() < until) next(200ms);
    return closed;
  }
  // The next JSON message with this op (others skipped).
  Json nextJson(const std::string& op) {
    for (int i = 0; i < 1000; ++i) {
      const auto m = next();
      if (!m) return nullptr;
      if (binary) continue;
      Json j = Json::parse(*m);
      if (j["op"] == op) return j;
    }
    return nullptr;
  }
  // The next MessageData: subscription id, log time and payload.
  std::optional<std::tuple<std::uint32_t, std::uint64_t, std::string>> nextData(std::chrono::milliseconds limit = 5s) {
    for (int i = 0; i < 100; ++i) {
      const auto m = next(limit);
      if (!m) return std::nullopt;
      if (!binary || m->size() < 13 || (*m)[0] != 1) continue;
      std::uint32_t sub = 0;
      std::uint64_t time = 0;
      std::memcpy(&sub, m->data() + 1, 4);
      std::memcpy(&time, m->data() + 5, 8);
      return std::make_tuple(sub, time, m->substr(13));
    }
    return std::nullopt;
  }
  std::uint32_t channelOf(const std::string& topic) {
    for (int i = 0; i < 20; ++i) {
      const Json a = nextJson("advertise");
      if (a.is_null()) break;
      for (const auto& c : a["channels"]) {
        if (c["topic"] == topic) return c["id"].get<std::uint32_t>();
      }
    }
    ADD_FAILURE() << "no channel " << topic;
    return 0;
  }
  void send(const std::string& text, bool asBinary = false) {
    ws_.binary(asBinary);
    beast::error_code ec;
    ws_.write(net::buffer(text), ec);
  }
  void subscribe(std::uint32_t id, std::uint32_t channel) {
    send(Json{{"op", "subscribe"}, {"subscriptions", {{{"id", id}, {"channelId", channel}}}}}.dump());
  }
  tcp::socket& socket() { return beast::get_lowest_layer(ws_).socket(); }

  std::string accepted;
  Json info;
  bool binary = false, closed = false;

 private:
  net::io_context ioc_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  bool reading_ = false, done_ = false;
  beast::error_code error_;
};

// The status of an upgrade request offering `subprotocol`, written and read as plain HTTP.
unsigned upgradeStatus(std::uint16_t port, const std::string& subprotocol) {
  net::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  http::request<http::empty_body> request{http::verb::get, "/", 11};
  request.set(http::field::host, "127.0.0.1");
  request.set(http::field::connection, "Upgrade");
  request.set(http::field::upgrade, "websocket");
  request.set(http::field::sec_websocket_version, "13");
  request.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  request.set(http::field::sec_websocket_protocol, subprotocol);
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  return response.result_int();
}

TEST(LiveServerTest, SpeaksBothSubprotocolsWithTheClientsSubscriptionIds) {
  LiveServerOptions options = quick();
  options.timeCapability = true;
  LiveServer server(options);
  EXPECT_EQ(upgradeStatus(server.port(), "other.v1"), 400U);
  for (const char* protocol : {"foxglove.websocket.v1", "foxglove.sdk.v1"}) {
    Viewer viewer(server.port(), std::string("x.other, ") + protocol);
    EXPECT_EQ(viewer.accepted, protocol);
    EXPECT_EQ(viewer.info["sessionId"], server.sessionId());
    EXPECT_EQ(viewer.info["capabilities"], Json::array({"time"}));
    server.publish("/task", {{"phase", 1}});
    const std::uint32_t channel = viewer.channelOf("/task");
    viewer.subscribe(42, channel);
    ASSERT_TRUE(testing::eventually([&] { return server.stats().published >= 1; }));
    std::optional<std::tuple<std::uint32_t, std::uint64_t, std::string>> data;
    for (int i = 0; i < 50 && !data; ++i) {  // until the subscription is in
      server.publish("/task", {{"phase", 2}}, ObservedTime(std::chrono::seconds(7)));
      data = viewer.nextData(100ms);
    }
    ASSERT_TRUE(data);
    EXPECT_EQ(std::get<0>(*data), 42U);
    EXPECT_EQ(std::get<1>(*data), 7'000'000'000U);
    EXPECT_EQ(Json::parse(std::get<2>(*data)), (Json{{"phase", 2}}));
    server.publishTime(123);
    std::optional<std::string> time;
    while ((time = viewer.next(1s)) && (!viewer.binary || (*time)[0] != 2)) {
    }
    ASSERT_TRUE(time);
    std::uint64_t ns = 0;
    std::memcpy(&ns, time->data() + 1, 8);
    EXPECT_EQ(ns, 123U);
  }
  LiveServer second(quick());
  EXPECT_NE(second.sessionId(), server.sessionId());
}

// What a viewer receives of a capture is what the recorder writes: the same bytes.
TEST(LiveServerTest, AViewerSeesTheRecordedBytesOfACapture) {
  testing::SimBridge bridge;
  const std::string path = ::testing::TempDir() + "live-same-bytes.mcap";
  LiveServer server(quick());
  Recorder recorder(path);
  IsaacSimClient client = bridge.observedClient(observeAll({recorder.observer(), nullptr, server.observer()}), "live");
  client.camera.create("/World/cam", std::vector<int>{64, 48});
  (void)client.camera.capture("/World/cam");  // advertises the channels
  Viewer viewer(server.port());
  viewer.subscribe(3, viewer.channelOf("/World/cam/rgb"));
  std::optional<std::tuple<std::uint32_t, std::uint64_t, std::string>> data;
  for (int i = 0; i < 50 && !data; ++i) {
    (void)client.camera.capture("/World/cam");
    data = viewer.nextData(200ms);
  }
  ASSERT_TRUE(data);
  recorder.close();
  RecordingReader reader(path);
  RecordingFilter filter;
  filter.topics = {"/World/cam/rgb"};
  bool found = false;
  for (auto cursor = reader.messages(filter); auto m = cursor.next();) {
    if (m->logTime == std::get<1>(*data)) found = std::string(m->data) == std::get<2>(*data);
  }
  EXPECT_TRUE(found) << "no recorded image with the viewer's bytes and log time";
}

LiveChannel imageChannel() { return {"/cam/rgb", "ros1", "sensor_msgs/Image", "ros1msg", "uint8[] data", true}; }

// A viewer that stops reading costs the publisher nothing: its queue keeps the newest image, the drops are
// counted, and it is closed after the stall timeout while another viewer keeps up.
TEST(LiveServerTest, AStalledViewerDropsOldImagesAndIsClosed) {
  if (testing::instrumented()) GTEST_SKIP() << "a race between the publisher and the viewers' threads";
  LiveServerOptions options = quick();
  options.stallTimeout = 500ms;
  LiveServer server(options);
  server.publishMessage(imageChannel(), "first", 1);
  Viewer stalled(server.port()), healthy(server.port());
  const auto channel = stalled.channelOf("/cam/rgb");
  EXPECT_EQ(healthy.channelOf("/cam/rgb"), channel);
  stalled.subscribe(1, channel);
  healthy.subscribe(1, channel);
  ASSERT_TRUE(testing::eventually([&] {
    server.publishMessage(imageChannel(), "probe", 2);
    return healthy.nextData(50ms).has_value();
  }));
  const std::string image(1U << 20, 'x');
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < 200; ++i) server.publishMessage(imageChannel(), image, 100 + i);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // queues, never waits for a viewer
  std::uint64_t mostDropped = 0;
  for (LiveViewerStats& v : server.stats().viewers) mostDropped = std::max(mostDropped, v.dropped["/cam/rgb"]);
  EXPECT_GE(mostDropped, 150U);  // the stalled viewer's queue kept only the newest
  server.publishMessage(imageChannel(), "last", 1000);
  std::optional<std::tuple<std::uint32_t, std::uint64_t, std::string>> data;
  while ((data = healthy.nextData(2s)) && std::get<1>(*data) != 1000) {
  }
  EXPECT_TRUE(data) << "the healthy viewer did not get the newest image";
  ASSERT_TRUE(testing::eventually([&] { return server.stats().closedStalled == 1; }));
  EXPECT_EQ(server.stats().viewers.size(), 1U);
  EXPECT_TRUE(stalled.readToClose());
}

TEST(LiveServerTest, ASlowViewerIsToldOfItsDrops) {
  if (testing::instrumented()) GTEST_SKIP() << "whether the viewer falls behind is a race between threads";
  LiveServerOptions options = quick();
  options.viewerQueueBytes = 1000;
  LiveServer server(options);
  server.publish("/log", {{"i", 0}});
  Viewer viewer(server.port());
  viewer.subscribe(1, viewer.channelOf("/log"));
  ASSERT_TRUE(testing::eventually([&] {
    server.publish("/log", {{"i", 0}});
    return viewer.nextData(50ms).has_value();
  }));
  const std::string big(100000, 'y');
  for (int i = 0; i < 200; ++i) server.publish("/log", {{"pad", big}});  // more than socket and queue hold
  const Json status = viewer.nextJson("status");
  ASSERT_FALSE(status.is_null());
  EXPECT_EQ(status["level"], 1);
  EXPECT_NE(status["message"].get<std::string>().find("/log"), std::string::npos);
  const Json removed = viewer.nextJson("removeStatus");  // once the drops have stopped for a while
  ASSERT_FALSE(removed.is_null());
  EXPECT_EQ(removed["statusIds"], Json::array({status["id"]}));
}

// On a video channel a viewer that missed frames gets none until the next keyframe: never a delta frame after
// a gap, which it could not decode.
TEST(LiveServerTest, AVideoViewerRestartsAtTheNextKeyframeAfterADrop) {
  if (testing::instrumented()) GTEST_SKIP() << "a race between the publisher and the viewer's thread";
  LiveServerOptions options = quick();
  options.viewerQueueBytes = 1U << 20;
  options.stallTimeout = 1h;
  LiveServer server(options);
  const LiveChannel video{"/cam/video", "protobuf", "foxglove.CompressedVideo", "protobuf", "", false};
  server.publishMessage(video, "K", 0);
  Viewer viewer(server.port());
  viewer.subscribe(1, viewer.channelOf("/cam/video"));
  ASSERT_TRUE(testing::eventually([&] {
    server.publishMessage(video, "K", 0);
    return viewer.nextData(50ms).has_value();
  }));
  const auto publish = [&](std::uint64_t i) {  // a keyframe every 10th; the log time numbers the frames
    server.publishMessage(video, std::string(256U << 10, i % 10 == 0 ? 'K' : 'P'), i, i % 10 == 0);
  };
  for (std::uint64_t i = 1; i < 200; ++i) publish(i);  // far more than the queue and the socket hold
  std::uint64_t last = 0, gaps = 0;
  const auto check = [&](const std::tuple<std::uint32_t, std::uint64_t, std::string>& data) {
    const std::uint64_t time = std::get<1>(data);
    if (time == 0) return;  // a probe
    if (time != last + 1) {
      ++gaps;
      EXPECT_EQ(std::get<2>(data)[0], 'K') << "frame " << time << " after a gap";
    }
    last = time;
  };
  while (const auto data = viewer.nextData(500ms)) check(*data);  // the backlog
  for (std::uint64_t i = 200; i < 205; ++i) {                     // then fresh frames, read as they come
    publish(i);
    const auto data = viewer.nextData();
    ASSERT_TRUE(data);
    check(*data);
  }
  EXPECT_GT(gaps, 0U);
  EXPECT_EQ(last, 204U) << "the viewer did not catch up";
}

// The user's static transforms reach every viewer, later ones too, with the recorder's bytes; a channel removed,
// or a stream's when it closes, is unadvertised.
TEST(LiveServerTest, ChannelsComeAndGo) {
  testing::SimBridge bridge;
  const std::string path = ::testing::TempDir() + "live-transforms.mcap";
  LiveServer server(quick());
  Recorder recorder(path);
  const FrameTransform mount{"world", "/World/cam", {1, 2, 3}, {0, 0, 0.7071068, 0.7071068}};
  server.setStaticTransform(mount);
  recorder.setStaticTransform(mount);
  EXPECT_THROW(server.setStaticTransform({"world", "/World/cam", {}, {0, 0, 0, 2}}), std::invalid_argument);
  IsaacSimClient client = bridge.observedClient(observeAll({recorder.observer(), server.observer()}), "live");
  client.articulation.create("/World/arm");
  WebSocketStream stream = client.openJointPositionStream("/World/arm");
  stream.send(R"({"joint_positions":[0.1],"indices":[0]})");
  ASSERT_TRUE(stream.receiveFor(5s).has_value());

  Viewer viewer(server.port());  // connects after the transform was set
  const Json channels = viewer.nextJson("advertise")["channels"];
  std::map<std::string, std::uint32_t> id;
  for (const Json& c : channels) id[c["topic"]] = c["id"];
  ASSERT_EQ(id.count("/transforms"), 1U);
  viewer.subscribe(1, id["/transforms"]);
  const auto data = viewer.nextData();
  ASSERT_TRUE(data);
  const Json transform = Json::parse(std::get<2>(*data));
  EXPECT_EQ(transform["child_frame_id"], "/World/cam");
  EXPECT_EQ(transform["translation"], (Json{{"x", 1.0}, {"y", 2.0}, {"z", 3.0}}));

  stream.close();
  const Json gone = viewer.nextJson("unadvertise");
  ASSERT_FALSE(gone.is_null());
  EXPECT_EQ(gone["channelIds"],
            Json::array({id.at("/World/arm/stream_joint_positions"), id.at("/World/arm/stream_joint_positions/sent")}));
  server.removeChannel("/transforms");
  EXPECT_EQ(viewer.nextJson("unadvertise")["channelIds"], Json::array({id["/transforms"]}));

  recorder.close();
  RecordingReader reader(path);
  RecordingFilter filter;
  filter.topics = {"/transforms"};
  auto cursor = reader.messages(filter);
  const auto recorded = cursor.next();
  ASSERT_TRUE(recorded);
  EXPECT_EQ(Json::parse(recorded->data).value("rotation", Json()), transform["rotation"]);
}

// Video served live: the recorder's foxglove.CompressedVideo channel, its schema base64 in the advertisement,
// and a viewer's first frame a keyframe (SPS first) though it joined mid-stream.
TEST(LiveServerTest, ServesCapturesAsVideo) {
  testing::SimBridge bridge;
  LiveServerOptions options = quick();
  options.video = VideoFormat::h264;
  options.keyframeInterval = 1h;  // only the keyframe the subscription asks for
  LiveServer server(options);
  IsaacSimClient client = bridge.observedClient(server.observer(), "live");
  client.camera.create("/World/cam", std::vector<int>{64, 48});
  for (int i = 0; i < 3; ++i) (void)client.camera.capture("/World/cam");
  Viewer viewer(server.port());
  Json channel;
  ASSERT_TRUE(testing::eventually([&] {
    const Json advertised = viewer.nextJson("advertise");
    for (const Json& c : advertised.value("channels", Json::array())) {
      if (c["topic"] == "/World/cam/rgb") channel = c;
    }
    return !channel.is_null();
  }));
  EXPECT_EQ(channel["schemaName"], "foxglove.CompressedVideo");
  EXPECT_EQ(channel["schemaEncoding"], "protobuf");
  EXPECT_EQ(channel["schema"].get<std::string>().find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  viewer.subscribe(1, channel["id"]);
  std::optional<std::tuple<std::uint32_t, std::uint64_t, std::string>> data;
  for (int i = 0; i < 50 && !data; ++i) {
    (void)client.camera.capture("/World/cam");
    data = viewer.nextData(200ms);
  }
  ASSERT_TRUE(data);
  EXPECT_NE(std::get<2>(*data).find(std::string("\0\0\1\x67", 4)), std::string::npos) << "not a keyframe";
}

// Bad input gets a status error or a close; a viewer beside it is served all along.
TEST(LiveServerTest, HostileViewersGetErrorsOrCloseAndOthersAreServed) {
  LiveServer server(quick());
  server.publish("/ok", {{"i", 0}});
  Viewer good(server.port()), bad(server.port());
  good.subscribe(1, good.channelOf("/ok"));
  for (const std::string input :
       {"{not json", R"({"op":"fly"})", R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":999}]})",
        R"({"op":"unsubscribe","subscriptionIds":[77]})", R"({"op":"subscribe"})", "[1,2]"}) {
    bad.send(input);
    const Json status = bad.nextJson("status");
    ASSERT_FALSE(status.is_null()) << input;
    EXPECT_EQ(status["level"], 2) << input;
  }
  bad.send(std::string("\x01\xff\x00garbage", 10), true);
  EXPECT_EQ(bad.nextJson("status")["level"], 2);

  net::io_context ioc;
  tcp::socket loris(ioc);  // a handshake that never ends
  loris.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), server.port()));
  net::write(loris, net::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n")));
  bad.send(std::string(16U << 20, 'a'));  // a 16 MiB text frame
  EXPECT_TRUE(bad.readToClose());
  server.publish("/ok", {{"i", 1}});
  EXPECT_TRUE(good.nextData());
  char byte = 0;
  beast::error_code ec;
  loris.read_some(net::buffer(&byte, 1), ec);  // the server cuts it off within its bound
  EXPECT_TRUE(ec == net::error::eof || ec == net::error::connection_reset) << ec.message();
  server.publish("/ok", {{"i", 2}});
  EXPECT_TRUE(good.nextData());
}

TEST(LiveServerTest, ServesItsPageOverHttp) {
  LiveServer server(quick());
  net::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), server.port()));
  http::write(stream, http::request<http::empty_body>{http::verb::get, "/", 11});
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  EXPECT_EQ(response.result_int(), 200U);
  EXPECT_NE(response.body().find("foxglove.websocket.v1"), std::string::npos);
  LiveServerOptions taken;
  taken.port = server.port();
  EXPECT_THROW(LiveServer{taken}, std::runtime_error);
}

}  // namespace
}  // namespace corvane
