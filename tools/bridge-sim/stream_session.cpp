#include "stream_session.hpp"

#include <chrono>
#include <cmath>

#include "api_error.hpp"
#include "json_input.hpp"

namespace bridge_sim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using nlohmann::json;

namespace {

constexpr std::size_t kMaxReplies = 16;
constexpr std::size_t kMaxMessageBytes = 64 * 1024;
// A small kernel send buffer: a slow reader then holds up the next write soon, and samples are dropped
// here (keeping the newest) instead of piling up, stale, in the socket.
constexpr int kSendBufferBytes = 16 * 1024;

}  // namespace

StreamSession::StreamSession(asio::ip::tcp::socket&& socket, ServerContext& context, StreamKind kind,
                             std::string primPath)
    : context_(context),
      kind_(kind),
      primPath_(std::move(primPath)),
      ws_(std::move(socket)),
      timer_(ws_.get_executor()) {
  ++context_.openConnections;
}

// The socket closes with the session: it ends when the client leaves or the stream fails, and then no
// timer or operation holds it any more.
StreamSession::~StreamSession() { --context_.openConnections; }

void StreamSession::run(http::request<http::string_body> request) {
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(http::field::server, "corvane-bridge-sim"); }));
  ws_.read_message_max(kMaxMessageBytes);
  ws_.text(true);
  auto held = std::make_shared<http::request<http::string_body>>(std::move(request));
  ws_.async_accept(*held, [self = shared_from_this(), held](beast::error_code ec) { self->onAccept(ec); });
}

void StreamSession::onAccept(beast::error_code ec) {
  if (ec) return;
  nextTick_ = std::chrono::steady_clock::now();
  scheduleTick();
  read();
}

void StreamSession::scheduleTick() {
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / context_.options().streamRate));
  // Ticks stay on their schedule, so the rate holds on average when a tick wakes late; after a stall of
  // more than kCatchUp the schedule restarts from now rather than bursting the samples missed.
  constexpr auto kCatchUp = std::chrono::milliseconds(50);
  const auto now = std::chrono::steady_clock::now();
  nextTick_ = nextTick_ + period + kCatchUp < now ? now : nextTick_ + period;
  timer_.expires_at(nextTick_);
  timer_.async_wait([self = shared_from_this()](beast::error_code ec) { self->onTick(ec); });
}

void StreamSession::onTick(beast::error_code ec) {
  if (ec || done_) return;
  json sample;
  try {
    sample = kind_ == StreamKind::JointPositions ? context_.scene().jointPositionsSample(primPath_)
                                                 : context_.scene().articulationStateSample(primPath_);
  } catch (const ApiError&) {
    return finish(websocket::close_code::going_away, "articulation removed");
  }
  sample["seq"] = seq_++;
  // Wall-clock nanoseconds: a reader on the same machine (or one with a synchronised clock) measures the
  // sample's age on arrival.
  sample["sent_ns"] =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  latest_ = dumpJson(sample);  // replaces an unsent older sample
  pump();
  scheduleTick();
}

void StreamSession::read() {
  ws_.async_read(readBuffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
}

void StreamSession::onRead(beast::error_code ec) {
  if (ec) {  // closed by the client, vanished, or timed out
    done_ = true;
    timer_.cancel();
    return;
  }
  const std::string text = beast::buffers_to_string(readBuffer_.data());
  readBuffer_.consume(readBuffer_.size());
  handleMessage(text);
  read();
}

void StreamSession::handleMessage(const std::string& text) {
  json reply;
  try {
    if (kind_ != StreamKind::JointPositions) throw badRequest("the articulation state stream accepts no messages");
    const json message = input::parseObject(text);
    input::allowOnly(message, {"joint_positions", "indices"});
    const json* positions = input::member(message, "joint_positions");
    if (positions == nullptr) throw badRequest("missing member \"joint_positions\"");
    std::optional<std::vector<std::int64_t>> indices;
    if (const json* value = input::member(message, "indices"); value != nullptr && !value->is_null()) {
      indices = input::integerArray(*value, "\"indices\"");
    }
    context_.scene().moveJoints(primPath_, input::numberArray(*positions, "\"joint_positions\""), indices, true);
    return;
  } catch (const ApiError& e) {
    reply = {{"error", e.what()}};
  }
  if (replies_.size() < kMaxReplies) replies_.push_back(dumpJson(reply));
  pump();
}

void StreamSession::pump() {
  if (writing_ || done_) return;
  if (!replies_.empty()) {
    sending_ = std::move(replies_.front());
    replies_.pop_front();
  } else if (latest_) {
    sending_ = std::move(*latest_);
    latest_.reset();
  } else {
    return;
  }
  writing_ = true;
  ws_.async_write(asio::buffer(sending_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
    self->writing_ = false;
    if (ec) {
      self->done_ = true;
      self->timer_.cancel();
      return;
    }
    self->pump();
  });
}

void StreamSession::finish(websocket::close_code code, const std::string& reason) {
  done_ = true;
  timer_.cancel();
  if (writing_) {  // a close must not overlap a write; dropping the connection is enough then
    beast::get_lowest_layer(ws_).close();
    return;
  }
  ws_.async_close(websocket::close_reason(code, reason), [self = shared_from_this()](beast::error_code) {});
}

}  // namespace bridge_sim
