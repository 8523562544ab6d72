// Transport security is libcurl's default, untouched: a bridge with a self-signed certificate is refused,
// over https:// and wss:// alike, unless the caFile option names a file that trusts it.
#include <curl/curl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// `openssl s_server` with a certificate made for this run and trusted by nobody.
class SelfSignedServer {
 public:
  SelfSignedServer() : dir_(fs::temp_directory_path() / ("corvane-tls-" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
    const std::string key = (dir_ / "key.pem").string(), cert = (dir_ / "cert.pem").string();
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
        " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
    port_ = testing::TestBridge::closedPort();
    const std::string accept = "127.0.0.1:" + std::to_string(port_);
    server_ = std::make_unique<testing::ChildProcess>(std::vector<std::string>{
        "openssl", "s_server", "-quiet", "-www", "-accept", accept, "-cert", cert, "-key", key});
    for (int i = 0; i < 100 && !testing::acceptsConnections(port_); ++i) std::this_thread::sleep_for(50ms);
  }
  ~SelfSignedServer() {
    server_.reset();
    fs::remove_all(dir_);
  }
  std::uint16_t port() const { return port_; }
  std::string certificate() const { return (dir_ / "cert.pem").string(); }

 private:
  fs::path dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<testing::ChildProcess> server_;
};

TEST(Tls, SelfSignedBridgeFailsCertificateVerification) {
  SelfSignedServer server;
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  IsaacSimClient client("t", "https://" + host, "wss://" + host, 3000ms, 0);
  EXPECT_THROW_MSG(client.get("/articulations"), std::runtime_error,
                   std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
  EXPECT_THROW_MSG(
      client.openJointPositionStream("/World/arm"), std::runtime_error,
      "WebSocket handshake failed for wss://" + host +
          "/articulations//World/arm/stream_joint_positions: " + curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
}

TEST(Tls, TheCaFileOptionTrustsAPrivateAuthority) {
  SelfSignedServer server;
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  ClientOptions options;
  options.caFile = server.certificate();
  IsaacSimClient client("t", "https://" + host, "wss://" + host, 3000ms, 0, options);
  EXPECT_EQ(client.get("/").status, 200);
  try {
    (void)client.openJointPositionStream("/World/arm");
    ADD_FAILURE() << "openssl s_server cannot upgrade";
  } catch (const HandshakeError& error) {
    EXPECT_EQ(error.code(), CURLE_HTTP_RETURNED_ERROR) << "verified, then refused the upgrade: " << error.what();
  }

  options.caFile = server.certificate() + ".missing";
  IsaacSimClient unreadable("t", "https://" + host, "wss://" + host, 3000ms, 3, options);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW_MSG(unreadable.get("/"), TransportError,
                   std::string("HTTP request failed: ") + curl_easy_strerror(CURLE_SSL_CACERT_BADFILE));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 300ms) << "no retry can mend a missing file";
}

}  // namespace
}  // namespace corvane
