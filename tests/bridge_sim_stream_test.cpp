// The simulated bridge's WebSocket streams: samples at a fixed rate, targets from the client, many streams
// at once, old samples dropped for a slow reader, and the end of a stream when its articulation goes.
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <thread>

#include "sim_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::SimBridge;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

class StreamClient {
 public:
  StreamClient(std::uint16_t port, const std::string& target, int receiveBuffer = 0) : ws_(io_) {
    tcp::socket& socket = ws_.next_layer();
    socket.open(tcp::v4());
    if (receiveBuffer > 0) socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    ws_.handshake("127.0.0.1", target);
  }
  json next() {
    beast::flat_buffer buffer;
    ws_.read(buffer);
    return json::parse(beast::buffers_to_string(buffer.data()));
  }
  void send(const std::string& text) { ws_.write(asio::buffer(text)); }
  websocket::stream<tcp::socket>& ws() { return ws_; }

 private:
  asio::io_context io_;
  websocket::stream<tcp::socket> ws_;
};

class BridgeSimStream : public ::testing::Test {
 protected:
  explicit BridgeSimStream(double rate = 60.0) : bridge_(options(rate)) {
    (void)bridge_.client().put("/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  }
  static bridge_sim::ServerOptions options(double rate) {
    bridge_sim::ServerOptions o;
    o.streamRate = rate;
    return o;
  }
  std::uint16_t port() { return bridge_.server().port(); }

  SimBridge bridge_;
};

TEST_F(BridgeSimStream, JointPositionSamplesArriveAtTheirRate) {
  StreamClient stream(port(), "/articulations//World/arm/stream_joint_positions");
  const json first = stream.next();
  EXPECT_EQ(first["joint_names"].size(), 7u);
  EXPECT_EQ(first["joint_positions"].size(), 7u);
  EXPECT_FALSE(first.contains("joint_velocities"));
  const auto started = std::chrono::steady_clock::now();
  json last;
  for (int i = 0; i < 30; ++i) last = stream.next();
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(last["seq"].get<int>() - first["seq"].get<int>(), 30) << "every sample arrives for a reader that keeps up";
  EXPECT_GE(took, 400ms) << "30 samples at 60 per second";
  EXPECT_LT(took, 3s) << "generous bound";
  EXPECT_GT(last["time"].get<double>(), first["time"].get<double>());
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::int64_t sent = last["sent_ns"].get<std::int64_t>();
  EXPECT_TRUE(sent <= now && sent > now - 5'000'000'000) << "the wall clock when the sample was made: " << sent;
}

TEST_F(BridgeSimStream, TargetsSentOnTheStreamMoveTheJoints) {
  StreamClient stream(port(), "/articulations//World/arm/stream_joint_positions");
  stream.send(R"({"joint_positions":[0.4,-0.2],"indices":[0,3]})");
  json sample;
  for (int i = 0; i < 120; ++i) {
    sample = stream.next();
    if (sample.contains("joint_positions") && sample["joint_positions"][3] == -0.2 &&
        sample["joint_positions"][0] == 0.4)
      break;
  }
  EXPECT_EQ(sample["joint_positions"][0], 0.4) << sample;
  EXPECT_EQ(sample["joint_positions"][3], -0.2) << sample;
  stream.send(R"({"joint_positions":[9.0],"indices":[0]})");
  stream.send("not json");
  std::vector<std::string> errors;
  for (int i = 0; i < 60 && errors.size() < 2; ++i) {
    const json message = stream.next();
    if (message.contains("error")) errors.push_back(message["error"]);
  }
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("outside its limits"), std::string::npos);
  EXPECT_NE(errors[1].find("not valid JSON"), std::string::npos);
  EXPECT_TRUE(stream.next().contains("joint_positions")) << "the stream goes on after a bad message";
}

TEST_F(BridgeSimStream, StateSamplesCarryVelocitiesAndTheGripper) {
  IsaacSimClient& client = bridge_.client();
  (void)client.put("/surface_grippers", R"({"prim_path":"/World/g"})");
  (void)client.post("/articulations//World/arm/assemble_robot",
                    R"({"gripper_id":"/World/g","arm_mount_link":"flange"})");
  (void)client.post("/surface_grippers//World/g/close", R"({"asynchronous":false})");
  (void)client.post("/articulations//World/arm/move_j",
                    R"({"joint_positions":[2.0],"indices":[0],"asynchronous":true})");
  StreamClient stream(port(), "/articulations//World/arm/stream_articulation_state");
  const json sample = stream.next();
  EXPECT_EQ(sample["gripper"], json({{"prim_path", "/World/g"}, {"status", "closed"}}));
  EXPECT_DOUBLE_EQ(sample["joint_velocities"][0].get<double>(), 2.0);
  stream.send("{}");
  for (int i = 0; i < 30; ++i) {
    const json message = stream.next();
    if (message.contains("error")) return SUCCEED();
  }
  ADD_FAILURE() << "a message on the state stream is answered with an error";
}

TEST_F(BridgeSimStream, ManyStreamsAtOnce) {
  std::vector<std::unique_ptr<StreamClient>> streams;
  for (int i = 0; i < 12; ++i) {
    streams.push_back(
        std::make_unique<StreamClient>(port(), i % 2 ? "/articulations//World/arm/stream_joint_positions"
                                                     : "/articulations//World/arm/stream_articulation_state"));
  }
  for (int round = 0; round < 3; ++round) {
    for (auto& stream : streams) EXPECT_TRUE(stream->next().contains("joint_positions"));
  }
  EXPECT_EQ(bridge_.client().get("/articulations//World/arm/joints_state").status, 200) << "REST still answers";
}

TEST_F(BridgeSimStream, StreamEndsWhenItsArticulationIsRemoved) {
  StreamClient stream(port(), "/articulations//World/arm/stream_joint_positions");
  stream.next();
  (void)bridge_.client().deleteRequest("/articulations//World/arm");
  beast::error_code ec;
  beast::flat_buffer buffer;
  for (int i = 0; i < 100 && !ec; ++i) {
    buffer.clear();
    stream.ws().read(buffer, ec);
  }
  EXPECT_EQ(ec, websocket::error::closed);
  EXPECT_EQ(stream.ws().reason().code, websocket::close_code::going_away);
  EXPECT_EQ(std::string(stream.ws().reason().reason.c_str()), "articulation removed");
}

TEST_F(BridgeSimStream, ClientsVanishingMidStreamAreCleanedUp) {
  {
    StreamClient reading(port(), "/articulations//World/arm/stream_joint_positions");
    StreamClient idle(port(), "/articulations//World/arm/stream_articulation_state");
    reading.next();
    EXPECT_TRUE(testing::eventually([&] { return bridge_.server().openConnections() == 2; }))
        << "the two streams (earlier HTTP connections end as their clients leave)";
    beast::error_code ignored;
    reading.ws().next_layer().close(ignored);  // no close handshake: the process is gone
    idle.ws().next_layer().close(ignored);
  }
  EXPECT_TRUE(testing::eventually([&] { return bridge_.server().openConnections() == 0; }))
      << bridge_.server().openConnections() << " connections still open";
}

TEST_F(BridgeSimStream, HandshakesForUnknownArticulationsOrRoutesAreRefused) {
  EXPECT_THROW(StreamClient(port(), "/articulations//World/none/stream_joint_positions"), beast::system_error);
  EXPECT_THROW(StreamClient(port(), "/articulations//World/arm/joints_state"), beast::system_error);
  EXPECT_THROW(StreamClient(port(), "/nowhere"), beast::system_error);
}

class BridgeSimFastStream : public BridgeSimStream {
 protected:
  BridgeSimFastStream() : BridgeSimStream(1000.0) {}
};

TEST_F(BridgeSimFastStream, SlowReaderGetsFreshSamplesNotABacklog) {
  StreamClient stream(port(), "/articulations//World/arm/stream_articulation_state", 4096);
  stream.next();
  std::this_thread::sleep_for(1500ms);  // far more samples than the socket buffers hold
  std::vector<json> samples;
  for (int i = 0; i < 400; ++i) samples.push_back(stream.next());
  std::int64_t largestGap = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    largestGap =
        std::max(largestGap, samples[i]["seq"].get<std::int64_t>() - samples[i - 1]["seq"].get<std::int64_t>());
  }
  EXPECT_GT(largestGap, 1) << "samples the reader could not take were dropped";
  const double now = bridge_.client().get("/articulations//World/arm/joints_state").json()["time"].get<double>();
  EXPECT_LT(now - samples.back()["time"].get<double>(), 0.75)
      << "the reader catches up with the present instead of working off a backlog over a second old";
}

}  // namespace
}  // namespace corvane
