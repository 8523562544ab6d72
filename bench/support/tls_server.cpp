#include "tls_server.hpp"

#include <unistd.h>

#include <cstdlib>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "side_by_side.hpp"

namespace corvane::bench {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct TlsLoopbackServer::Impl {
  ssl::context tls{ssl::context::tls_server};  // outlives the sessions the io_context still holds
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
};

namespace {

class TlsSession : public std::enable_shared_from_this<TlsSession> {
 public:
  TlsSession(tcp::socket socket, ssl::context& tls, const std::string& body)
      : stream_(std::move(socket), tls), body_(body) {}

  void start() {
    stream_.async_handshake(ssl::stream_base::server, [self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->read();
    });
  }

 private:
  void read() {
    request_ = {};
    http::async_read(stream_, buffer_, request_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (!ec) self->answer();
    });
  }

  void answer() {
    response_ = {http::status::ok, request_.version()};
    response_.set(http::field::content_type, "application/json");
    response_.body() = body_;
    response_.keep_alive(request_.keep_alive());
    response_.prepare_payload();
    http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (!ec && self->response_.keep_alive()) self->read();
    });
  }

  beast::ssl_stream<tcp::socket> stream_;
  const std::string& body_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::string_body> response_;
};

void acceptNext(TlsLoopbackServer::Impl& impl, const std::string& body) {
  impl.acceptor.async_accept([&impl, &body](beast::error_code ec, tcp::socket socket) {
    if (ec) return;
    socket.set_option(tcp::no_delay(true));
    std::make_shared<TlsSession>(std::move(socket), impl.tls, body)->start();
    acceptNext(impl, body);
  });
}

}  // namespace

TlsLoopbackServer::TlsLoopbackServer(std::string body)
    : dir_(std::filesystem::temp_directory_path() / ("corvane-bench-tls-" + std::to_string(::getpid()))),
      body_(std::move(body)),
      impl_(std::make_unique<Impl>()) {
  std::filesystem::create_directories(dir_);
  const std::string key = (dir_ / "key.pem").string();
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1"
      " -addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + certificateFile() + " 2>/dev/null";
  check(std::system(make.c_str()) == 0, "openssl could not make a certificate");
  impl_->tls.use_certificate_chain_file(certificateFile());
  impl_->tls.use_private_key_file(key, ssl::context::pem);
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen(asio::socket_base::max_listen_connections);
  port_ = impl_->acceptor.local_endpoint().port();
  acceptNext(*impl_, body_);
  thread_ = std::thread([this] { impl_->io.run(); });
}

TlsLoopbackServer::~TlsLoopbackServer() {
  impl_->io.stop();
  thread_.join();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TlsLoopbackServer::baseUrl() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

}  // namespace corvane::bench
