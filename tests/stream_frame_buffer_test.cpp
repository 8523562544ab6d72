// receive() sizes its buffer from the frame header: frames of every size must still come back whole, and
// a header that announces far more than the peer sends must not make the client allocate (or fail on)
// the announced size.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "connected_stream.hpp"
#include "corvane/corvane.hpp"
#include "stream_polling.hpp"
#include "test_bridge.hpp"
#include "websocket_frame.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ConnectedStream;
using testing::frameHeader;
using testing::Opcode;
using testing::patterned;
using testing::pollForFrame;
using testing::textFrame;

TEST(StreamFrameBuffer, FramesOfEverySizeComeBackWholeAtOnceOrInPieces) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  const std::string large = patterned((1u << 20) + 3);
  const std::string trickled = patterned(300000);
  c.peer->sendRaw(textFrame(large) + textFrame("after"), 1u << 22, 0ms);
  EXPECT_EQ(pollForFrame(c.stream).frame, large);
  EXPECT_EQ(pollForFrame(c.stream).frame, "after");

  c.peer->sendRaw(textFrame(trickled) + textFrame(""), 40000, 2ms);
  const auto polled = pollForFrame(c.stream);
  EXPECT_EQ(polled.frame, trickled);
  EXPECT_GT(polled.emptyPolls, 0) << "the frame should have come in over several calls";
  EXPECT_EQ(pollForFrame(c.stream).frame, std::string()) << "an empty frame right after a large one";
}

TEST(StreamFrameBuffer, AHeaderAnnouncingATerabyteIsNotTakenAtItsWord) {
  ConnectedStream c;
  ASSERT_NE(c.peer, nullptr);
  c.peer->sendRaw(frameHeader(Opcode::text, std::uint64_t{1} << 40) + patterned(20000), 1u << 16, 0ms);
  ASSERT_TRUE(c.peer->flush());
  for (int i = 0; i < 20; ++i) {
    std::optional<std::string> frame;
    ASSERT_NO_THROW(frame = c.stream.receive()) << "call " << i;
    EXPECT_EQ(frame, std::nullopt) << "the frame is far from complete";
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(c.stream.isOpen());
}

}  // namespace
}  // namespace corvane
