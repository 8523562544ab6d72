#include <algorithm>

#include "websocket_peer_impl.hpp"

namespace corvane::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t kMessageLimit = 64u << 20;  // room for large test messages

// Writes bytes[offset..] to the raw socket, `chunk` at a time with `pause` between pieces.
struct RawTrickle {
  WebSocketPeer::Impl* peer;
  std::shared_ptr<const std::string> bytes;
  std::size_t chunk;
  std::chrono::milliseconds pause;
  WebSocketPeer::Impl::Done done;

  void writeFrom(std::size_t offset) const {
    const std::size_t n = std::min(chunk, bytes->size() - offset);
    asio::async_write(
        peer->ws.next_layer(), asio::buffer(bytes->data() + offset, n),
        [self = *this, offset, n](beast::error_code ec, std::size_t) {
          if (ec || offset + n >= self.bytes->size()) return self.done();
          self.peer->timer.expires_after(self.pause);
          self.peer->timer.async_wait([self, next = offset + n](beast::error_code) { self.writeFrom(next); });
        });
  }
};

}  // namespace

void WebSocketPeer::Impl::run(tcp::socket::native_handle_type socket, const Request& request) {
  beast::error_code ec;
  ws.next_layer().assign(tcp::v4(), socket, ec);
  ws.auto_fragment(false);  // one write, one frame: tests decide the framing
  ws.read_message_max(kMessageLimit);
  ws.control_callback(
      [this](websocket::frame_type kind, beast::string_view payload) { onControlFrame(kind, payload); });
  if (!ec) ws.accept(request, ec);
  if (!ec) {
    readTimer.expires_after(readDelay);
    readTimer.async_wait([this](beast::error_code) { readNext(); });
    io.run();
  }
  finish();
}

void WebSocketPeer::Impl::enqueue(Write write) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++unfinishedWrites;
  }
  asio::post(io, [this, write = std::move(write)]() mutable {
    writes.push_back(std::move(write));
    if (!writing) startNextWrite();
  });
}

void WebSocketPeer::Impl::startNextWrite() {
  writing = !writes.empty();
  if (!writing) return;
  Write next = std::move(writes.front());
  writes.pop_front();
  next([this] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      --unfinishedWrites;
    }
    changed.notify_all();
    startNextWrite();
  });
}

void WebSocketPeer::Impl::readNext() {
  ws.async_read(readBuffer, [this](beast::error_code ec, std::size_t) {
    if (ec) return;  // closed, hung up or shut down: the session winds down
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (ws.got_text()) {
        texts.push_back(beast::buffers_to_string(readBuffer.data()));
      } else {
        ++binaries;
      }
    }
    changed.notify_all();
    readBuffer.consume(readBuffer.size());
    readNext();
  });
}

void WebSocketPeer::Impl::onControlFrame(websocket::frame_type kind, beast::string_view payload) {
  if (kind == websocket::frame_type::close) return recordClose(std::string(payload));
  if (kind != websocket::frame_type::pong) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++pongs;
  }
  changed.notify_all();
}

int WebSocketPeer::Impl::closeCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return closes;
}

void WebSocketPeer::Impl::recordClose(std::string reason) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++closes;
    closeReason = std::move(reason);
  }
  changed.notify_all();
}

void WebSocketPeer::Impl::finish() {
  beast::error_code ignored;
  ws.next_layer().close(ignored);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
  }
  changed.notify_all();
}

WebSocketPeer::WebSocketPeer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WebSocketPeer::~WebSocketPeer() = default;

const std::string& WebSocketPeer::target() const { return impl_->target; }

void WebSocketPeer::sendText(std::string payload) {
  auto bytes = std::make_shared<const std::string>(std::move(payload));
  impl_->enqueue([peer = impl_.get(), bytes](Impl::Done done) {
    peer->ws.text(true);
    peer->ws.async_write(asio::buffer(*bytes), [bytes, done](beast::error_code, std::size_t) { done(); });
  });
}

void WebSocketPeer::sendBinary(std::string payload) {
  auto bytes = std::make_shared<const std::string>(std::move(payload));
  impl_->enqueue([peer = impl_.get(), bytes](Impl::Done done) {
    peer->ws.binary(true);
    peer->ws.async_write(asio::buffer(*bytes), [bytes, done](beast::error_code, std::size_t) { done(); });
  });
}

void WebSocketPeer::sendFragmented(std::vector<std::string> fragments, bool pingBetween) {
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    const bool last = i + 1 == fragments.size();
    auto bytes = std::make_shared<const std::string>(std::move(fragments[i]));
    impl_->enqueue([peer = impl_.get(), bytes, last](Impl::Done done) {
      peer->ws.text(true);
      peer->ws.async_write_some(last, asio::buffer(*bytes), [bytes, done](beast::error_code, std::size_t) { done(); });
    });
    if (pingBetween && !last) sendPing("between");
  }
}

void WebSocketPeer::sendPing(std::string payload) {
  impl_->enqueue([peer = impl_.get(), payload = std::move(payload)](Impl::Done done) {
    peer->ws.async_ping(websocket::ping_data(payload.c_str()), [done](beast::error_code) { done(); });
  });
}

void WebSocketPeer::sendClose() {
  impl_->enqueue([peer = impl_.get()](Impl::Done done) {
    const int before = peer->closeCount();
    peer->ws.async_close(websocket::close_code::normal, [peer, before, done](beast::error_code ec) {
      // Success means the client's close frame arrived; when the closing handshake itself read it, the
      // control callback was bypassed.
      if (!ec && peer->closeCount() == before)
        peer->recordClose(std::string(peer->ws.reason().reason.data(), peer->ws.reason().reason.size()));
      done();
    });
  });
}

void WebSocketPeer::sendRaw(std::string bytes, std::size_t chunk, std::chrono::milliseconds pause) {
  auto shared = std::make_shared<const std::string>(std::move(bytes));
  impl_->enqueue([peer = impl_.get(), shared, chunk, pause](Impl::Done done) {
    if (shared->empty()) return done();
    RawTrickle{peer, shared, std::max<std::size_t>(chunk, 1), pause, std::move(done)}.writeFrom(0);
  });
}

void WebSocketPeer::dropConnection(bool reset) {
  impl_->enqueue([peer = impl_.get(), reset](Impl::Done done) {
    beast::error_code ignored;
    auto& socket = peer->ws.next_layer();
    if (reset) socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);  // the pending read fails and the session winds down
    done();
  });
}

void WebSocketPeer::pause(std::chrono::milliseconds delay) {
  impl_->enqueue([peer = impl_.get(), delay](Impl::Done done) {
    peer->timer.expires_after(delay);
    peer->timer.async_wait([done](beast::error_code) { done(); });
  });
}

bool WebSocketPeer::flush(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, timeout, [this] { return impl_->unfinishedWrites == 0 || impl_->ended; });
  return impl_->unfinishedWrites == 0;
}

std::vector<std::string> WebSocketPeer::textMessages() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->texts;
}

std::vector<std::string> WebSocketPeer::waitForTextMessages(std::size_t count,
                                                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, timeout, [&] { return impl_->texts.size() >= count; });
  return impl_->texts;
}

int WebSocketPeer::binaryMessages() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->binaries;
}

int WebSocketPeer::closeFrames() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->closes;
}

std::string WebSocketPeer::closePayload() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->closeReason;
}

bool WebSocketPeer::waitForCloseFrames(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->closes >= count; });
}

int WebSocketPeer::pongs() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->pongs;
}

bool WebSocketPeer::waitForPongs(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->pongs >= count; });
}

bool WebSocketPeer::waitForEnd(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->ended; });
}

}  // namespace corvane::testing
