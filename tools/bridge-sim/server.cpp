#include "server.hpp"

#include <fcntl.h>

#include <algorithm>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

#include "http_session.hpp"
#include "server_context.hpp"

namespace bridge_sim {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// Asio opens sockets without FD_CLOEXEC. In a process that also starts programs (a test running the
// bridge in-process), a child would inherit the listening socket and keep the port bound after stop(), so a
// restart on the same port failed; an inherited connection would keep it open after the bridge dropped it.
void closeOnExec(int descriptor) {
  const int flags = ::fcntl(descriptor, F_GETFD);
  if (flags >= 0) (void)::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
}

unsigned defaultIoThreads() { return std::clamp(std::thread::hardware_concurrency() / 2, 2u, 8u); }
unsigned defaultRenderThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

// Accepts connections, each on a strand of its own, until the acceptor closes.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(ServerContext& context, tcp::acceptor& acceptor) : context_(context), acceptor_(acceptor) {}
  void accept() {
    acceptor_.async_accept(asio::make_strand(context_.io()), [self = shared_from_this()](auto ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !self->acceptor_.is_open()) return;
      if (!ec) {
        boost::system::error_code ignored;
        closeOnExec(socket.native_handle());
        socket.set_option(tcp::no_delay(true), ignored);
        std::make_shared<HttpSession>(std::move(socket), self->context_)->run();
      }
      self->accept();  // a failed accept (out of descriptors, say) must not stop the server
    });
  }

 private:
  ServerContext& context_;
  tcp::acceptor& acceptor_;
};

std::string hostForUrl(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

struct Server::Impl {
  explicit Impl(ServerOptions options)
      : options(resolve(std::move(options))),
        context(this->options, this->options.renderThreads),
        acceptor(context.io()) {}

  static ServerOptions resolve(ServerOptions options) {
    if (options.ioThreads == 0) options.ioThreads = defaultIoThreads();
    if (options.renderThreads == 0) options.renderThreads = defaultRenderThreads();
    return options;
  }

  ServerOptions options;
  ServerContext context;
  tcp::acceptor acceptor;
  std::vector<std::thread> threads;
  std::uint16_t port = 0;
  bool stopped = false;
};

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { stop(); }

void Server::start() {
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(impl_->options.host, ec);
  if (ec) throw std::runtime_error("not an IP address: " + impl_->options.host);
  const tcp::endpoint endpoint(address, impl_->options.port);
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) closeOnExec(acceptor.native_handle());
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("cannot listen on " + impl_->options.host + ":" + std::to_string(impl_->options.port) +
                             ": " + ec.message());
  impl_->port = acceptor.local_endpoint().port();
  std::make_shared<Listener>(impl_->context, acceptor)->accept();
  for (unsigned i = 0; i < impl_->options.ioThreads; ++i) {
    impl_->threads.emplace_back([this] { impl_->context.io().run(); });
  }
}

void Server::stop() {
  if (impl_->stopped) return;
  impl_->stopped = true;
  impl_->context.io().stop();
  for (std::thread& thread : impl_->threads) thread.join();
  impl_->threads.clear();
  boost::system::error_code ignored;
  impl_->acceptor.close(ignored);  // no I/O thread runs any more
  impl_->context.stopRendering();
}

std::uint16_t Server::port() const { return impl_->port; }
std::string Server::httpUrl() const {
  return "http://" + hostForUrl(impl_->options.host) + ":" + std::to_string(impl_->port) + "/";
}
std::string Server::wsUrl() const {
  return "ws://" + hostForUrl(impl_->options.host) + ":" + std::to_string(impl_->port) + "/";
}
Scene& Server::scene() { return impl_->context.scene(); }
int Server::openConnections() const { return impl_->context.openConnections.load(); }

}  // namespace bridge_sim
