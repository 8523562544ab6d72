// The stream's use of libcurl's WebSocket calls. curl_ws_send and curl_ws_recv are wrapped at link time:
// every call is recorded, and results can be injected to reach what a live server cannot produce on
// demand (control chunks inside a frame, transport errors, a socket that would block). The recorded
// calls also pin down the libcurl behaviours the stream relies on.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>

#include "corvane/corvane.hpp"
#include "expect_throw.hpp"
#include "stream_polling.hpp"
#include "test_bridge.hpp"

extern "C" {
CURLcode __real_curl_ws_send(CURL* curl, const void* buffer, size_t length, size_t* sent, curl_off_t fragsize,
                             unsigned int flags);
CURLcode __real_curl_ws_recv(CURL* curl, void* buffer, size_t length, size_t* received,
                             const struct curl_ws_frame** meta);
}

namespace {

struct SendCall {
  const char* data;
  size_t length;
  size_t sent;
  CURLcode code;
  curl_off_t fragsize;
  unsigned int flags;
};

struct RecvCall {
  size_t received;
  CURLcode code;
  int flags;  ///< -1 without frame information
};

struct Chunk {
  CURLcode code;
  std::string bytes;
  int flags;  ///< -1: no frame information
  curl_off_t bytesleft = 0;
  curl_off_t offset = 0;
};

// Only the test thread calls libcurl, so plain globals do.
struct Wrapped {
  std::vector<SendCall> sends;
  std::vector<RecvCall> recvs;
  int againBeforeSend = 0;       ///< answer this many sends with CURLE_AGAIN without reaching libcurl
  CURLcode failSend = CURLE_OK;  ///< answer sends with this error instead of sending
  std::deque<Chunk> chunks;      ///< answer receives with these instead of reading
  curl_ws_frame frame{};
} wrapped;

}  // namespace

extern "C" CURLcode __wrap_curl_ws_send(CURL* curl, const void* buffer, size_t length, size_t* sent,
                                        curl_off_t fragsize, unsigned int flags) {
  CURLcode code;
  if (wrapped.againBeforeSend > 0) {
    --wrapped.againBeforeSend;
    code = CURLE_AGAIN;  // *sent untouched: the caller must have reset it
  } else if (wrapped.failSend != CURLE_OK) {
    code = wrapped.failSend;
  } else {
    code = __real_curl_ws_send(curl, buffer, length, sent, fragsize, flags);
  }
  wrapped.sends.push_back({static_cast<const char*>(buffer), length, *sent, code, fragsize, flags});
  return code;
}

extern "C" CURLcode __wrap_curl_ws_recv(CURL* curl, void* buffer, size_t length, size_t* received,
                                        const struct curl_ws_frame** meta) {
  CURLcode code;
  if (!wrapped.chunks.empty()) {
    const Chunk chunk = wrapped.chunks.front();
    wrapped.chunks.pop_front();
    code = chunk.code;
    if (code == CURLE_OK) {
      std::memcpy(buffer, chunk.bytes.data(), std::min(length, chunk.bytes.size()));
      *received = chunk.bytes.size();
      wrapped.frame.flags = chunk.flags;
      wrapped.frame.bytesleft = chunk.bytesleft;
      wrapped.frame.offset = chunk.offset;
      *meta = chunk.flags < 0 ? nullptr : &wrapped.frame;
    }
  } else {
    code = __real_curl_ws_recv(curl, buffer, length, received, meta);
  }
  const int flags = code == CURLE_OK && *meta != nullptr ? (*meta)->flags : -1;
  wrapped.recvs.push_back({*received, code, flags});
  return code;
}

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::pollForFrame;
using testing::TestBridge;

class WrappedStream : public ::testing::Test {
 protected:
  void SetUp() override { wrapped = Wrapped{}; }
  void open() {
    stream = client.openJointPositionStream("/World/arm");
    peer = bridge.webSocket();
    ASSERT_NE(peer, nullptr);
    wrapped.sends.clear();
    wrapped.recvs.clear();
  }

  TestBridge bridge;
  IsaacSimClient client{"test", bridge.baseUrl(), bridge.wsBaseUrl(), 5000ms, 0};
  WebSocketStream stream{nullptr};
  std::shared_ptr<testing::WebSocketPeer> peer;
};

TEST_F(WrappedStream, SendRetriesWouldBlockWithTheSameBytesAndSendsEmptyMessagesOnce) {
  open();
  wrapped.againBeforeSend = 3;
  stream.send("hello");
  ASSERT_EQ(wrapped.sends.size(), 4u);
  for (const SendCall& call : wrapped.sends) {
    EXPECT_EQ(std::string(call.data, call.length), "hello");
    EXPECT_EQ(call.fragsize, 0);
    EXPECT_EQ(call.flags, static_cast<unsigned>(CURLWS_TEXT));
  }
  EXPECT_EQ(wrapped.sends.back().code, CURLE_OK);

  wrapped.sends.clear();
  stream.send("");
  ASSERT_EQ(wrapped.sends.size(), 1u) << "an empty message is one call of length 0";
  EXPECT_EQ(wrapped.sends[0].length, 0u);
  EXPECT_EQ(peer->waitForTextMessages(2), (std::vector<std::string>{"hello", ""}));
}

TEST_F(WrappedStream, PartialSendsResumeWhereLibcurlStopped) {
  bridge.setWebSocketReadDelay(300ms);  // the socket buffers fill up while the bridge is not reading
  open();
  std::string big(16u << 20, 'x');
  for (std::size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>('a' + i % 26);
  stream.send(big);

  std::size_t offset = 0;
  int partial = 0;
  int again = 0;
  for (const SendCall& call : wrapped.sends) {
    ASSERT_EQ(call.data, big.data() + offset) << "each call starts where the sent bytes end";
    ASSERT_EQ(call.length, big.size() - offset);
    if (call.code == CURLE_AGAIN) {
      ++again;
      EXPECT_EQ(call.sent, 0u) << "libcurl takes nothing when it says AGAIN";
    }
    if (call.code == CURLE_OK && call.sent < call.length) ++partial;
    offset += call.sent;
  }
  RecordProperty("calls", static_cast<int>(wrapped.sends.size()));
  RecordProperty("partial", partial);
  RecordProperty("again", again);
  EXPECT_EQ(offset, big.size());
  // Depending on timing, libcurl either reports partial sends as success with fewer bytes sent (then the
  // loop above checked that each call resumes where the last stopped), or takes the whole message in one
  // call and flushes it before returning (seen under valgrind). Anything else would be a third behaviour.
  EXPECT_TRUE(partial > 0 || (wrapped.sends.size() == 1 && wrapped.sends[0].sent == big.size()))
      << wrapped.sends.size() << " calls, " << partial << " partial";
  const auto messages = peer->waitForTextMessages(1, 20s);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0] == big) << "received " << messages[0].size() << " bytes";
}

TEST_F(WrappedStream, TransportErrorsThrowAndLeaveTheStreamOpen) {
  open();
  wrapped.failSend = CURLE_SEND_ERROR;
  EXPECT_THROW_MSG(stream.send("lost"), std::runtime_error,
                   std::string("WebSocket send failed: ") + curl_easy_strerror(CURLE_SEND_ERROR));
  wrapped.failSend = CURLE_OK;
  wrapped.chunks.push_back({CURLE_RECV_ERROR, "", -1});
  EXPECT_THROW_MSG(stream.receive(), std::runtime_error,
                   std::string("WebSocket receive failed: ") + curl_easy_strerror(CURLE_RECV_ERROR));
  EXPECT_TRUE(stream.isOpen());
  stream.send("after");
  EXPECT_EQ(peer->waitForTextMessages(1), std::vector<std::string>{"after"});
}

TEST_F(WrappedStream, ControlChunksNeverEndOrJoinAResult) {
  open();
  wrapped.chunks = {{CURLE_OK, "ab", CURLWS_TEXT, 5},
                    {CURLE_OK, "p", CURLWS_PING, 0},
                    {CURLE_OK, "", CURLWS_PONG, 0},
                    {CURLE_OK, "cd", CURLWS_TEXT | CURLWS_CONT, 3},
                    {CURLE_AGAIN, "", -1},
                    {CURLE_OK, "efg", CURLWS_TEXT, 0},
                    {CURLE_OK, "no info", -1},
                    {CURLE_OK, "", CURLWS_BINARY, 0},
                    {CURLE_OK, "\x03\xe8", CURLWS_CLOSE, 0}};
  EXPECT_EQ(stream.receive(), std::nullopt) << "the frame is not complete yet";
  EXPECT_EQ(stream.receive(), "abcdefg");
  EXPECT_EQ(stream.receive(), "no info") << "a chunk without frame information is a whole result";
  EXPECT_EQ(stream.receive(), "") << "an empty frame is a present empty result";
  EXPECT_EQ(stream.receive(), std::nullopt) << "a close chunk is no result (and the call returns with it)";
  EXPECT_TRUE(wrapped.chunks.empty());
  ASSERT_FALSE(wrapped.sends.empty());
  EXPECT_EQ(wrapped.sends.back().flags, static_cast<unsigned>(CURLWS_CLOSE)) << "the close frame is answered";
}

TEST_F(WrappedStream, ACloseFrameHandedOverInPiecesIsAnsweredOnce) {
  open();
  wrapped.chunks = {{CURLE_OK,
                     "\x03\xe8"
                     "bye",
                     CURLWS_CLOSE, 4, 0},
                    {CURLE_OK, "byes", CURLWS_CLOSE, 0, 5},
                    {CURLE_AGAIN, "", -1}};
  EXPECT_EQ(stream.receive(), std::nullopt);
  const auto closes = std::count_if(wrapped.sends.begin(), wrapped.sends.end(),
                                    [](const SendCall& call) { return (call.flags & CURLWS_CLOSE) != 0; });
  EXPECT_EQ(closes, 1) << "one close frame answers the bridge's, however libcurl splits it";
}

// RFC 6455 section 5.5.1: nothing may follow a close frame. After answering the bridge's, the stream
// hands libcurl no text and no second close frame.
TEST_F(WrappedStream, AfterTheBridgesCloseNothingMoreGoesOnTheWire) {
  open();
  wrapped.chunks = {{CURLE_OK, "\x03\xe9going away", CURLWS_CLOSE, 0}, {CURLE_OK, "unread", CURLWS_TEXT, 0}};
  EXPECT_EQ(stream.receive(), std::nullopt);
  EXPECT_EQ(stream.closeCode(), 1001);
  EXPECT_EQ(stream.closeReason(), "going away");
  ASSERT_EQ(wrapped.sends.size(), 1u);
  EXPECT_EQ(wrapped.sends[0].flags, static_cast<unsigned>(CURLWS_CLOSE)) << "the answer";
  EXPECT_THROW_MSG(stream.send("late"), StreamError,
                   "send() called after the bridge closed the WebSocketStream (1001 going away)");
  stream.close();
  EXPECT_EQ(wrapped.sends.size(), 1u) << "neither the text nor a second close frame reached libcurl";

  open();
  wrapped.chunks = {{CURLE_OK, "", CURLWS_CLOSE, 0}};
  EXPECT_EQ(stream.receive(), std::nullopt);
  EXPECT_EQ(stream.closeCode(), 1005) << "a close frame without a status";
}

// What libcurl itself does with the bridge's control frames.
TEST_F(WrappedStream, LibcurlAnswersPingsItselfAndHandsOverCloseFrames) {
  open();
  peer->sendPing("one");
  peer->sendPing("two");
  peer->sendText("after");
  EXPECT_EQ(pollForFrame(stream).frame, "after");
  EXPECT_TRUE(peer->waitForPongs(2));
  for (const RecvCall& call : wrapped.recvs) {
    EXPECT_TRUE(call.flags < 0 || (call.flags & CURLWS_PING) == 0) << "pings are not handed over";
  }

  peer->sendClose();
  int frames = 0;
  const std::string error = testing::pollForError(stream, frames);
  EXPECT_EQ(error, std::string("WebSocket receive failed: ") + curl_easy_strerror(CURLE_GOT_NOTHING) +
                       " after the bridge closed the stream (1000)");
  EXPECT_EQ(frames, 0);
  auto close = std::find_if(wrapped.recvs.begin(), wrapped.recvs.end(),
                            [](const RecvCall& call) { return call.flags == CURLWS_CLOSE; });
  ASSERT_NE(close, wrapped.recvs.end()) << "the close frame is handed over, flags 0x8";
  EXPECT_EQ(close->received, 2u) << "its payload: the status code 1000";
  EXPECT_EQ(wrapped.recvs.back().code, CURLE_GOT_NOTHING);
}

}  // namespace
}  // namespace corvane
