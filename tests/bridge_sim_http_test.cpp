// The simulated bridge against bad input: malformed bodies and requests, unknown routes, wrong methods,
// oversized bodies and heads, and clients that vanish mid-request. It answers, and keeps serving.
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <cstdio>
#include <fstream>
#include <thread>

#include "sim_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::SimBridge;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Sends raw bytes, half-closes unless told not to, and returns everything the server sends back.
std::string exchangeRaw(std::uint16_t port, const std::string& bytes, bool halfClose = true) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  asio::write(socket, asio::buffer(bytes));
  if (halfClose) socket.shutdown(tcp::socket::shutdown_send);
  std::string reply;
  boost::system::error_code ec;
  char buffer[4096];
  while (!ec) reply.append(buffer, socket.read_some(asio::buffer(buffer), ec));
  return reply;
}

std::string statusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

class BridgeSimHttp : public ::testing::Test {
 protected:
  void expectStillServing() {
    const HttpResponse response =
        bridge_.client().put("/cameras", json{{"prim_path", "/World/alive" + std::to_string(++probes_)}}.dump());
    EXPECT_EQ(response.status, 201) << response.body;
  }
  std::uint16_t port() { return bridge_.server().port(); }

  SimBridge bridge_;
  int probes_ = 0;
};

TEST_F(BridgeSimHttp, BadBodiesAre400WithAnErrorMember) {
  IsaacSimClient& client = bridge_.client();
  for (const std::string body :
       {"{", "[1,2]", "\"text\"", "{\"prim_path\":\"/a\"} extra", "{\"prim_path\":\"\xff\"}"}) {
    const HttpResponse response = client.put("/articulations", body);
    EXPECT_EQ(response.status, 400) << body;
    const json error = SimBridge::parsed(response);
    EXPECT_TRUE(error.contains("error")) << response.body;
    ASSERT_NE(response.header("content-type"), nullptr);
    EXPECT_EQ(*response.header("content-type"), "application/json");
  }
  expectStillServing();
}

TEST_F(BridgeSimHttp, UnknownRoutesAre404AndWrongMethods405WithAllow) {
  IsaacSimClient& client = bridge_.client();
  (void)client.put("/articulations", R"({"prim_path":"/World/arm","urdf_path":null})");
  for (const std::string path : {"/", "/robots", "/articulations//World/arm/teleport", "/camerasx"}) {
    const HttpResponse response = client.get(path);
    EXPECT_EQ(response.status, 404) << path;
    EXPECT_NE(response.body.find("no such route"), std::string::npos) << response.body;
  }
  const HttpResponse wrong = client.post("/articulations//World/arm/joints_state", "{}");
  EXPECT_EQ(wrong.status, 405);
  ASSERT_NE(wrong.header("Allow"), nullptr);
  EXPECT_EQ(*wrong.header("Allow"), "GET");
  EXPECT_EQ(*client.get("/surface_grippers").header("allow"), "PUT");
  EXPECT_EQ(*client.get("/articulations//World/arm").header("allow"), "DELETE");
  EXPECT_EQ(*client.deleteRequest("/surface_grippers//World/g/properties").header("allow"), "GET, PATCH");
  const HttpResponse stream = client.get("/articulations//World/arm/stream_joint_positions");
  EXPECT_EQ(stream.status, 426) << "a stream route without a WebSocket handshake";
}

TEST_F(BridgeSimHttp, OversizedBodiesAre413AndOversizedHeads431) {
  const HttpResponse big = bridge_.client().put("/articulations", std::string(2u << 20, ' '));
  EXPECT_EQ(big.status, 413);
  EXPECT_NE(big.body.find("larger than"), std::string::npos);
  const std::string head = "GET /cameras HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n";
  EXPECT_EQ(statusLine(exchangeRaw(port(), head)), "HTTP/1.1 431 Request Header Fields Too Large");
  expectStillServing();
}

TEST_F(BridgeSimHttp, SmallerBodyLimitCanBeChosen) {
  bridge_sim::ServerOptions options;
  options.maxBodyBytes = 64;
  SimBridge small(options);
  EXPECT_EQ(small.client().put("/cameras", json{{"prim_path", "/World/c"}}.dump()).status, 201);
  EXPECT_EQ(small.client().put("/cameras", json{{"prim_path", "/World/" + std::string(80, 'c')}}.dump()).status, 413);
}

TEST_F(BridgeSimHttp, MalformedRequestsAre400AndCloseTheConnection) {
  EXPECT_EQ(statusLine(exchangeRaw(port(), "NOT HTTP AT ALL\r\n\r\n")), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(statusLine(exchangeRaw(port(), "GET /cameras HTTP/1.1\r\nContent-Length: x\r\n\r\n")),
            "HTTP/1.1 400 Bad Request");
  const std::string reply =
      exchangeRaw(port(), "PUT /cameras HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n");
  EXPECT_EQ(statusLine(reply), "HTTP/1.1 400 Bad Request");
  expectStillServing();
}

TEST_F(BridgeSimHttp, KeepAliveAndPipelinedRequestsAreAnsweredInOrder) {
  const std::string one = "GET /articulations//World/none/joints_state HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string two =
      "PUT /cameras HTTP/1.1\r\nHost: x\r\nContent-Length: 26\r\n\r\n{\"prim_path\":\"/World/cam\"}";
  const std::string reply = exchangeRaw(port(), one + two);
  const auto first = reply.find("HTTP/1.1 404");
  const auto second = reply.find("HTTP/1.1 201");
  ASSERT_NE(first, std::string::npos) << reply;
  ASSERT_NE(second, std::string::npos) << reply;
  EXPECT_LT(first, second);
}

TEST_F(BridgeSimHttp, ExpectContinueIsAnsweredAtOnce) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port()});
  const std::string body = R"({"prim_path":"/World/cam"})";
  asio::write(socket, asio::buffer("PUT /cameras HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n"));
  asio::streambuf interim;
  asio::read_until(socket, interim, "\r\n\r\n");
  EXPECT_EQ(std::string(asio::buffers_begin(interim.data()), asio::buffers_begin(interim.data()) + 25),
            "HTTP/1.1 100 Continue\r\n\r\n");
  interim.consume(interim.size());  // nothing more can come before the body is sent
  asio::write(socket, asio::buffer(body));
  asio::read_until(socket, interim, "\r\n\r\n");
  EXPECT_NE(std::string(asio::buffers_begin(interim.data()), asio::buffers_end(interim.data())).find("HTTP/1.1 201"),
            std::string::npos);
}

TEST_F(BridgeSimHttp, ClientsVanishingMidRequestAreCleanedUp) {
  // A slow joint: a synchronous move on it would take minutes.
  const std::string urdf = ::testing::TempDir() + "bridge_sim_slow.urdf";
  std::ofstream(urdf)
      << "<robot name=\"slow\"><link name=\"a\"/><link name=\"b\"/><joint name=\"j\" type=\"revolute\">"
         "<parent link=\"a\"/><child link=\"b\"/><limit lower=\"-3\" upper=\"3\" velocity=\"0.01\"/></joint></robot>";
  ASSERT_EQ(
      bridge_.client().put("/articulations", json{{"prim_path", "/World/slow"}, {"urdf_path", urdf}}.dump()).status,
      201);
  const std::string move = R"({"joint_positions":[2.5],"indices":[0],"asynchronous":false})";
  for (int i = 0; i < 20; ++i) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port()});
    if (i % 2 == 0) {  // half a head, then gone
      asio::write(socket, asio::buffer(std::string("PUT /cameras HTTP/1.1\r\nContent-Len")));
    } else {  // a synchronous move of minutes, then gone before the answer
      asio::write(socket,
                  asio::buffer("POST /articulations//World/slow/move_j HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                               std::to_string(move.size()) + "\r\n\r\n" + move));
    }
    socket.close();
  }
  EXPECT_TRUE(testing::eventually([&] { return bridge_.server().openConnections() == 0; }))
      << bridge_.server().openConnections() << " connections still open";
  expectStillServing();
  std::vector<std::thread> clients;
  std::atomic<int> served{0};
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      IsaacSimClient client("t", bridge_.server().httpUrl(), bridge_.server().wsUrl(), 5000ms, 0);
      for (int i = 0; i < 25; ++i) served += client.get("/articulations//World/slow/joints_state").status == 200;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(served.load(), 100);
  std::remove(urdf.c_str());
}

}  // namespace
}  // namespace corvane
