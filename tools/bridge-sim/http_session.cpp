#include "http_session.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>

#include "stream_session.hpp"

namespace bridge_sim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kIdleTimeout = std::chrono::seconds(60);
constexpr std::uint32_t kHeaderLimit = 16 * 1024;

bool isHttpError(const beast::error_code& ec) {
  return &ec.category() == &http::make_error_code(http::error::end_of_stream).category();
}

}  // namespace

HttpSession::HttpSession(tcp::socket&& socket, ServerContext& context) : context_(context), stream_(std::move(socket)) {
  ++context_.openConnections;
}

HttpSession::~HttpSession() {
  if (!closed_ && !upgraded_) --context_.openConnections;
}

void HttpSession::run() {
  asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->readHeader(); });
}

void HttpSession::readHeader() {
  parser_.emplace();
  parser_->body_limit(context_.options().maxBodyBytes);
  parser_->header_limit(kHeaderLimit);
  stream_.expires_after(kIdleTimeout);  // idle keep-alive connections and stalled requests are dropped
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHeader(ec); });
}

void HttpSession::onHeader(beast::error_code ec) {
  if (ec) return failRead(ec);
  started_ = std::chrono::steady_clock::now();
  const auto& request = parser_->get();
  method_ = std::string(request.method_string());
  target_ = std::string(request.target());
  keepAlive_ = request.keep_alive();
  // A client that waits for "100 Continue" before sending its body gets it now, not after its own timeout.
  if (beast::iequals(request[http::field::expect], "100-continue") && !parser_->is_done()) {
    auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, request.version());
    return http::async_write(stream_, *interim,
                             [self = shared_from_this(), interim](beast::error_code wec, std::size_t) {
                               if (wec) return self->close();
                               self->readBody();
                             });
  }
  readBody();
}

void HttpSession::readBody() {
  http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
    if (ec) return self->failRead(ec);
    self->onBody(ec);
  });
}

void HttpSession::onBody(beast::error_code) {
  if (beast::websocket::is_upgrade(parser_->get())) return upgrade();
  handle();
}

void HttpSession::failRead(beast::error_code ec) {
  keepAlive_ = false;
  if (ec == http::error::body_limit)
    return write(Reply::error(
        413, "the request body is larger than " + std::to_string(context_.options().maxBodyBytes) + " bytes"));
  if (ec == http::error::header_limit) return write(Reply::error(431, "the request head is larger than 16 KiB"));
  if (isHttpError(ec) && ec != http::error::end_of_stream && ec != http::error::partial_message) {
    return write(Reply::error(400, "malformed HTTP request: " + ec.message()));
  }
  close();  // end of stream, time-out, reset: the client is gone
}

// Answers given while the request is being dispatched (on this session's strand) are written at once;
// answers from timers or render threads are posted to the strand.
Respond HttpSession::responder() {
  return [self = shared_from_this()](Reply reply) {
    if (self->dispatchingThread_.load() == std::this_thread::get_id()) return self->write(std::move(reply));
    asio::post(self->stream_.get_executor(),
               [self, reply = std::move(reply)]() mutable { self->write(std::move(reply)); });
  };
}

void HttpSession::handle() {
  waiting_ = true;
  const std::string& body = parser_->get().body();
  dispatchingThread_.store(std::this_thread::get_id());
  dispatch(context_, method_, target_, body, responder());
  dispatchingThread_.store(std::thread::id());
  if (waiting_) watchForHangUp();
}

void HttpSession::upgrade() {
  auto request = parser_->release();
  std::string error;
  const auto route = matchRoute(target_, context_.scene());
  const auto kind = route ? streamKind(*route) : std::nullopt;
  if (!kind) return write(Reply::error(404, "no stream at " + target_));
  if (request.method() != http::verb::get) return write(Reply::error(405, "a stream is opened with GET"));
  if (!context_.scene().exists(Collection::Articulations, route->primPath)) {
    return write(Reply::error(404, "no articulation at '" + route->primPath + "'"));
  }
  context_.logRequest(method_, target_, 101, 0, started_);
  stream_.expires_never();
  upgraded_ = true;
  --context_.openConnections;  // the stream session counts it from here
  std::make_shared<StreamSession>(stream_.release_socket(), context_, *kind, route->primPath)->run(std::move(request));
}

void HttpSession::write(Reply reply) {
  if (closed_) return;
  if (waiting_) {
    waiting_ = false;
    if (dispatchingThread_.load() != std::this_thread::get_id()) {
      beast::error_code ignored;
      stream_.socket().cancel(ignored);  // ends the hang-up watch
    }
  }
  response_ = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(reply.status), 11);
  response_->set(http::field::server, "corvane-bridge-sim");
  response_->set(http::field::content_type, reply.contentType);
  for (const auto& [name, value] : reply.headers) response_->set(name, value);
  response_->keep_alive(keepAlive_);
  response_->body() = std::move(reply.body);
  response_->prepare_payload();
  hold_ = std::move(reply.hold);
  context_.logRequest(method_, target_, reply.status, response_->body().size(), started_);
  stream_.expires_after(kIdleTimeout);
  http::async_write(stream_, *response_,
                    [self = shared_from_this(), keepAlive = keepAlive_](beast::error_code ec, std::size_t) {
                      self->onWrite(keepAlive, ec);
                    });
}

void HttpSession::onWrite(bool keepAlive, beast::error_code ec) {
  response_.reset();
  hold_.reset();
  if (ec || !keepAlive) return close();
  readHeader();
}

void HttpSession::watchForHangUp() {
  stream_.socket().async_wait(tcp::socket::wait_read,
                              [self = shared_from_this()](beast::error_code ec) { self->onReadable(ec); });
}

// Readable while an answer is pending: either the client hung up (end of stream) or it pipelined its next
// request, which stays in the socket for the next read.
void HttpSession::onReadable(beast::error_code ec) {
  if (ec || !waiting_) return;
  char byte = 0;
  beast::error_code peekError;
  stream_.socket().non_blocking(true, peekError);
  const std::size_t n = stream_.socket().receive(asio::buffer(&byte, 1), tcp::socket::message_peek, peekError);
  stream_.socket().non_blocking(false, ec);
  if (peekError == asio::error::would_block) return watchForHangUp();
  if (n == 0 || peekError) close();
}

void HttpSession::close() {
  if (closed_ || upgraded_) return;
  closed_ = true;
  waiting_ = false;
  --context_.openConnections;
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.socket().close(ignored);
}

}  // namespace bridge_sim
