// The client behind real proxies: squid as the forward proxy (basic authentication, over http:// and
// https://, CONNECT to one port denied) and nginx as the bridge's TLS front (a required token header,
// WebSocket upgrades passed on), both started here on 127.0.0.1 with a CA made for the run. Skipped when
// squid, nginx or openssl is not installed.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "child_process.hpp"
#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "stream_polling.hpp"
#include "test_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::caught;
using testing::ChildProcess;
using testing::TestBridge;

constexpr const char* kSquid = "/usr/sbin/squid";
constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kToken = "X-Bridge-Token: robot-42";

void run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// What `command` writes to stdout, without its last newline.
std::string output(const char* command) {
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command, "r"), &::pclose);
  std::string text;
  char buffer[256];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) text += buffer;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) throw std::runtime_error(std::string("no output from ") + command);
  return text;
}

std::string port(std::uint16_t number) { return std::to_string(number); }

// Everything lives in one directory that squid's unprivileged user can read and write.
class ProxyLane : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!fs::exists(kSquid) || !fs::exists(kNginx) || std::system("openssl version >/dev/null 2>&1") != 0) return;
    dir_ = fs::temp_directory_path() / ("corvane-proxy-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    fs::permissions(dir_, fs::perms::all);
    makeCertificates();
    bridge_ = std::make_unique<TestBridge>();
    squidPort_ = TestBridge::closedPort();
    squidTlsPort_ = TestBridge::closedPort();
    nginxPort_ = TestBridge::closedPort();
    deniedPort_ = TestBridge::closedPort();
    writeSquidConfig();
    writeNginxConfig();
    squid_ = std::make_unique<ChildProcess>(std::vector<std::string>{kSquid, "-N", "-f", path("squid.conf")});
    nginx_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kNginx, "-p", dir_.string(), "-c", path("nginx.conf"), "-e", path("nginx.log")});
    for (int i = 0; i < 200 && !(testing::acceptsConnections(squidPort_) &&
                                 testing::acceptsConnections(squidTlsPort_) && testing::acceptsConnections(nginxPort_));
         ++i) {
      std::this_thread::sleep_for(50ms);
    }
  }

  static void TearDownTestSuite() {
    nginx_.reset();
    squid_.reset();
    bridge_.reset();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void SetUp() override {
    if (!squid_) GTEST_SKIP() << "squid, nginx or openssl is not installed";
    ASSERT_TRUE(testing::acceptsConnections(squidPort_) && testing::acceptsConnections(squidTlsPort_) &&
                testing::acceptsConnections(nginxPort_))
        << "squid or nginx did not start; see " << dir_;
  }

  static std::string path(const char* name) { return (dir_ / name).string(); }

  static void makeCertificates() {
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    run("openssl req -x509 " + ec + "-days 1 -subj /CN=corvane-test-ca -keyout " + path("ca.key") + " -out " +
        path("ca.pem"));
    run("openssl req " + ec + "-subj /CN=127.0.0.1 -keyout " + path("server.key") + " -out " + path("server.csr"));
    std::ofstream(path("san.cnf")) << "subjectAltName=IP:127.0.0.1\n";
    run("openssl x509 -req -days 1 -in " + path("server.csr") + " -CA " + path("ca.pem") + " -CAkey " + path("ca.key") +
        " -CAcreateserial -extfile " + path("san.cnf") + " -out " + path("server.pem"));
    std::ofstream(path("passwd")) << "robot:" << output("openssl passwd -apr1 s3cret") << "\n";
    for (const char* name : {"server.key", "server.pem", "passwd"}) {
      fs::permissions(dir_ / name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
  }

  static void writeSquidConfig() {
    std::ofstream(path("squid.conf"))
        << "http_port 127.0.0.1:" << squidPort_ << "\n"
        << "https_port 127.0.0.1:" << squidTlsPort_ << " tls-cert=" << path("server.pem")
        << " tls-key=" << path("server.key") << "\n"
        << "pid_filename " << path("squid.pid") << "\ncache_log " << path("cache.log") << "\ncoredump_dir "
        << dir_.string() << "\naccess_log none\ncache deny all\ncache_mem 8 MB\npinger_enable off\n"
        << "shutdown_lifetime 0 seconds\n"
        << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << path("passwd") << "\n"
        << "auth_param basic children 1 startup=1 idle=1\n"
        << "acl users proxy_auth REQUIRED\nacl CONNECT method CONNECT\nacl denied port " << deniedPort_ << "\n"
        << "http_access deny CONNECT denied\nhttp_access allow users\nhttp_access deny all\n";
  }

  // The bridge's front as a deployment would write it: no URI after proxy_pass and merge_slashes off, so
  // "//World" arrives as sent; the upgrade headers passed on; nothing buffered.
  static void writeNginxConfig() {
    std::ofstream(path("nginx.conf"))
        << "daemon off;\nmaster_process off;\npid " << path("nginx.pid") << ";\nerror_log " << path("nginx.log")
        << " warn;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  merge_slashes off;\n"
        << "  client_body_temp_path " << path("body") << ";\n  proxy_temp_path " << path("proxy") << ";\n"
        << "  server {\n    listen 127.0.0.1:" << nginxPort_ << " ssl;\n"
        << "    ssl_certificate " << path("server.pem") << ";\n    ssl_certificate_key " << path("server.key")
        << ";\n    location / {\n"
        << "      if ($http_x_bridge_token != \"robot-42\") { return 401 \"missing token\"; }\n"
        << "      proxy_pass http://127.0.0.1:" << bridge_->port() << ";\n      proxy_http_version 1.1;\n"
        << "      proxy_set_header Upgrade $http_upgrade;\n      proxy_set_header Connection $http_connection;\n"
        << "      proxy_read_timeout 120s;\n      proxy_buffering off;\n    }\n  }\n}\n";
  }

  // A client of the bridge behind nginx, through squid at `proxy`.
  static IsaacSimClient client(const std::string& proxy, bool token = true, bool trustCa = true, int retries = 0) {
    ClientOptions options;
    options.proxy = proxy;
    if (token) options.headers = {kToken};
    if (trustCa) options.caFile = path("ca.pem");
    const std::string host = "127.0.0.1:" + port(nginxPort_);
    return IsaacSimClient("t", "https://" + host, "wss://" + host, 5000ms, retries, options);
  }

  static std::string squid(bool credentials = true, bool tls = false) {
    return std::string(tls ? "https://" : "http://") + (credentials ? "robot:s3cret@" : "") +
           "127.0.0.1:" + port(tls ? squidTlsPort_ : squidPort_);
  }

  static inline fs::path dir_;
  static inline std::unique_ptr<TestBridge> bridge_;
  static inline std::unique_ptr<ChildProcess> squid_, nginx_;
  static inline std::uint16_t squidPort_ = 0, squidTlsPort_ = 0, nginxPort_ = 0, deniedPort_ = 0;
};

TEST_F(ProxyLane, CallsAndStreamsGoThroughBothIntact) {
  std::string frame(1920 * 1080 * 3, '\0');
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i * 7919 % 251);
  bridge_->setReplyFor("/articulations//World/arm/dof_limits", testing::Reply::json(200, "{\"limits\":[]}"));
  bridge_->setReplyFor("/frame", testing::Reply::json(200, frame));
  std::size_t streams = 0;
  for (const bool tlsProxy : {false, true}) {
    IsaacSimClient through = client(squid(true, tlsProxy));
    EXPECT_EQ(through.articulation.getDofLimits("/World/arm"), nlohmann::json::parse("{\"limits\":[]}"));
    EXPECT_EQ(bridge_->lastRequest().target, "/articulations//World/arm/dof_limits");
    EXPECT_TRUE(through.get("/frame").body == frame) << "a full-resolution body arrives intact";
    WebSocketStream stream = through.openJointPositionStream("/World/arm");
    const auto peer = bridge_->webSocket(streams++);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->target(), "/articulations//World/arm/stream_joint_positions");
    peer->sendText("[0.5]");
    EXPECT_EQ(testing::pollForFrame(stream).frame.value_or(""), "[0.5]");
  }
}

TEST_F(ProxyLane, RefusalsAreNamedAndNotRetried) {
  IsaacSimClient anonymous = client(squid(false), true, true, 3);
  const TransportError refused = caught<TransportError>([&] { (void)anonymous.get("/x"); });
  EXPECT_EQ(refused.kind(), TransportErrorKind::proxyRefused);
  EXPECT_EQ(refused.proxyStatus(), 407);
  EXPECT_EQ(refused.attempts(), 1);
  EXPECT_NE(std::string(refused.what()).find("407"), std::string::npos) << refused.what();
  const HandshakeError tunnel = caught<HandshakeError>([&] { (void)anonymous.openJointPositionStream("/World/arm"); });
  EXPECT_EQ(tunnel.kind(), TransportErrorKind::proxyRefused);
  EXPECT_NE(std::string(tunnel.what()).find("CONNECT answered 407"), std::string::npos) << tunnel.what();

  ClientOptions options;
  options.proxy = squid();
  IsaacSimClient denied("t", "https://127.0.0.1:" + port(deniedPort_), "wss://h", 5000ms, 3, options);
  EXPECT_EQ(caught<TransportError>([&] { (void)denied.get("/x"); }).proxyStatus(), 403);

  IsaacSimClient untrusted = client(squid(true, true), true, false, 3);
  const TransportError unverified = caught<TransportError>([&] { (void)untrusted.get("/x"); });
  EXPECT_EQ(unverified.kind(), TransportErrorKind::tlsVerification);
  EXPECT_EQ(unverified.attempts(), 1) << "a certificate does not change between attempts";

  IsaacSimClient tokenless = client(squid(), false);
  EXPECT_HTTP_ERROR(tokenless.articulation.getDofLimits("/World/arm"), 401, "missing token");
  EXPECT_EQ(caught<HandshakeError>([&] { (void)tokenless.openJointPositionStream("/World/arm"); }).httpStatus(), 401);
}

}  // namespace
}  // namespace corvane
