// The recorder over the simulated bridge: what lands on which topic and in which encoding, backpressure
// without loss, and its failures (an unwritable path, a full disk, a process killed mid-recording).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "corvane/record/recorder.hpp"
#include "corvane/record/recorder_slot.hpp"
#include "corvane/record/recording_reader.hpp"
#include "expect_throw.hpp"
#include "sim_bridge.hpp"
#include "temp_dir.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::uint64_t nowNs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

class RecorderTest : public testing::TempDirTest {};

TEST_F(RecorderTest, RecordsExchangesStreamsFramesAndUserMessages) {
  testing::SimBridge bridge;
  const std::uint64_t before = nowNs();
  {
    Recorder recorder(file("session.mcap"), {Compression::lz4});
    IsaacSimClient client = bridge.observedClient(recorder.observer(), "rec");
    recorder.write("/episode", {{"event", "start"}, {"task", "reach"}});
    client.articulation.create("/World/arm");
    client.camera.create("/World/cam", std::vector<int>{8, 4});
    (void)client.camera.capture("/World/cam");
    WebSocketStream stream = client.openJointPositionStream("/World/arm");
    stream.send(R"({"joint_positions":[0.1],"indices":[0]})");
    ASSERT_TRUE(stream.receiveFor(5s).has_value());
    stream.close();
    recorder.close();
    EXPECT_GE(recorder.stats().messages, 10U);
  }
  const std::uint64_t after = nowNs();
  RecordingReader reader(file("session.mcap"));
  ASSERT_TRUE(reader.indexed());
  std::map<std::string, std::vector<std::string>> byTopic;
  reader.forEach({}, [&](const RecordedMessage& m) {
    EXPECT_GE(m.logTime, before);
    EXPECT_LE(m.logTime, after);
    byTopic[m.channel->topic].emplace_back(m.data);
  });
  for (const char* topic : {"/episode", "/rest/articulations", "/rest/cameras", "/rest/cameras/World/cam/capture",
                            "/World/cam/rgb", "/World/cam/depth", "/World/cam/capture",
                            "/World/arm/stream_joint_positions", "/World/arm/stream_joint_positions/sent",
                            "/World/arm/stream_joint_positions/events", "/World/cam/calibration"}) {
    EXPECT_EQ(byTopic.count(topic), 1U) << topic;
  }
  const auto capture = nlohmann::json::parse(byTopic["/rest/cameras/World/cam/capture"].at(0));
  EXPECT_EQ(capture["status"], 200);
  EXPECT_GT(capture["reply_bytes"], 128) << "a binary reply is kept as its size";
  EXPECT_EQ(byTopic["/World/arm/stream_joint_positions/sent"].at(0), R"({"joint_positions":[0.1],"indices":[0]})");

  for (const auto& [id, channel] : reader.channels()) {
    if (channel.topic != "/World/cam/rgb" && channel.topic != "/World/cam/depth") continue;
    EXPECT_EQ(channel.messageEncoding, "ros1");
    EXPECT_EQ(reader.schemas().at(channel.schemaId).name, "sensor_msgs/Image");
    EXPECT_EQ(reader.schemas().at(channel.schemaId).encoding, "ros1msg");
  }
  // sensor_msgs/Image: seq, stamp, frame_id "/World/cam", height 4, width 8, encoding, is_bigendian, step, data.
  const std::string& rgb = byTopic["/World/cam/rgb"].at(0);
  ASSERT_EQ(rgb.size(), 12 + 4 + 10 + 8 + 4 + 4 + 1 + 4 + 4 + 96U);
  EXPECT_EQ(rgb.substr(16, 10), "/World/cam");
  EXPECT_EQ(rgb.substr(38, 4), "rgb8");
  const std::string& depth = byTopic["/World/cam/depth"].at(0);
  EXPECT_EQ(depth.substr(38, 5), "32FC1");
}

// What Foxglove's panels need: JSON Schemas, the camera's calibration and pose, segmentation as an image.
TEST_F(RecorderTest, RecordsCameraModelsSchemasAndColourisedSegmentation) {
  testing::SimBridge bridge;
  {
    Recorder recorder(file("model.mcap"));
    IsaacSimClient client = bridge.observedClient(recorder.observer(), "rec");
    client.camera.create("/World/cam", std::vector<int>{8, 4});
    (void)client.camera.capture("/World/cam", std::vector<std::string>{"rgb", "semantic_segmentation"}, true);
  }
  RecordingReader reader(file("model.mcap"));
  std::map<std::string, std::pair<std::string, std::string>> schemaOf;  // topic -> name, encoding
  for (const auto& [id, c] : reader.channels()) {
    const auto schema = reader.schemas().find(c.schemaId);
    if (schema != reader.schemas().end()) schemaOf[c.topic] = {schema->second.name, schema->second.encoding};
  }
  using Schema = std::pair<std::string, std::string>;
  EXPECT_EQ(schemaOf["/World/cam/calibration"], Schema("foxglove.CameraCalibration", "jsonschema"));
  EXPECT_EQ(schemaOf["/World/cam/transform"], Schema("foxglove.FrameTransform", "jsonschema"));
  EXPECT_EQ(schemaOf["/rest/cameras/World/cam/capture"], Schema("corvane.RestExchange", "jsonschema"));
  EXPECT_EQ(schemaOf["/World/cam/semantic_segmentation"].first, "corvane_msgs/NDArray");
  EXPECT_EQ(schemaOf["/World/cam/semantic_segmentation/colorized"].first, "sensor_msgs/Image");
  reader.forEach({}, [&](const RecordedMessage& m) {
    if (m.channel->topic == "/World/cam/calibration") {
      const auto c = nlohmann::json::parse(m.data);
      EXPECT_EQ(c["frame_id"], "/World/cam");  // the images' frame_id
      EXPECT_EQ(c["width"], 8);
      EXPECT_EQ(c["K"][2], 4.0);  // cx
    } else if (m.channel->topic == "/World/cam/transform") {
      const auto t = nlohmann::json::parse(m.data);
      EXPECT_EQ(t["child_frame_id"], "/World/cam");
      EXPECT_TRUE(t["rotation"].contains("w"));
    } else if (m.channel->topic == "/World/cam/semantic_segmentation/colorized") {
      EXPECT_EQ(std::string(m.data.substr(38, 4)), "rgb8");
    }
  });
}

TEST_F(RecorderTest, AFullQueueMakesCallersWaitAndLosesNothing) {
  RecorderOptions options;
  options.queueBytes = 64;
  options.chunkSize = 512;
  Recorder recorder(file("queue.mcap"), options);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) recorder.write("/t" + std::to_string(t), {{"i", i}});
    });
  }
  for (auto& thread : threads) thread.join();
  recorder.close();
  const RecorderStats stats = recorder.stats();
  EXPECT_EQ(stats.messages, 600U);
  EXPECT_GT(stats.chunks, 3U);
  EXPECT_GE(stats.queueHighWater, 1U);
  RecordingReader reader(file("queue.mcap"));
  EXPECT_EQ(reader.statistics().messageCount, 600U);
  EXPECT_THROW(recorder.write("/t", {}), std::logic_error) << "closed";
}

// One client, its recorder swapped between episodes while another thread's calls are being observed: each
// file holds its own episode's calls and step, nothing made between episodes lands anywhere.
TEST_F(RecorderTest, ASlotSwapsRecordersUnderALiveClient) {
  testing::SimBridge bridge;
  auto slot = std::make_shared<RecorderSlot>();
  IsaacSimClient client = bridge.observedClient(slot, "rec");
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) (void)client.get("/busy");
  });
  const std::vector<double> state{1.0};
  StepInput step;
  step.observation = {{"state", StepArray::of(state)}};
  for (int episode = 0; episode < 3; ++episode) {
    Recorder recorder(file(("slot" + std::to_string(episode) + ".mcap").c_str()));
    slot->set(recorder);
    EXPECT_TRUE(slot->recording());
    (void)client.get("/episode" + std::to_string(episode));
    EXPECT_EQ(slot->step(step), std::optional<std::uint64_t>(0));
    slot->clear();
    (void)client.get("/between");
    EXPECT_EQ(slot->step(step), std::nullopt);
  }
  stop = true;
  busy.join();
  for (int episode = 0; episode < 3; ++episode) {
    std::map<std::string, int> count;
    RecordingReader(file(("slot" + std::to_string(episode) + ".mcap").c_str()))
        .forEach({}, [&](const RecordedMessage& m) { ++count[m.channel->topic]; });
    EXPECT_EQ(count["/step"], 1) << episode;
    EXPECT_EQ(count.count("/rest/between"), 0U) << episode;
    for (int other = 0; other < 3; ++other) {
      EXPECT_EQ(count["/rest/episode" + std::to_string(other)], other == episode ? 1 : 0) << episode;
    }
  }
}

// A sink that takes nothing (a FIFO nobody reads) holds the queue full: an observed call waits for room only
// until its deadline or its interruption hook, and the message it would have recorded is dropped and counted.
TEST_F(RecorderTest, AStalledSinkHoldsACallOnlyWithinItsDeadlineAndInterruption) {
  const std::string fifo = file("stalled.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  RecorderOptions options;  // compressed chunks: a FIFO cannot take the uncompressed ones' patched headers
  options.chunkSize = 1;
  options.queueBytes = 1024;
  Recorder recorder(fifo, options);
  std::string noise(1 << 20, ' ');  // does not compress below what the pipe holds: the writer stalls
  std::uint64_t state = 1;
  for (char& c : noise) c = static_cast<char>('a' + ((state = state * 6364136223846793005U + 1) >> 59));
  recorder.write("/big", {{"noise", noise}});

  std::atomic<bool> draining{false}, closed{false};  // the FIFO is read once draining (at the end, or at a hang)
  std::thread drain([&] {
    char buffer[65536];
    while (!closed) {
      if (!draining || ::read(reader, buffer, sizeof buffer) <= 0) std::this_thread::sleep_for(1ms);
    }
  });
  const auto endsWithin = [&](auto& future) {
    if (future.wait_for(10s) == std::future_status::ready) return true;
    draining = true;
    return false;
  };

  testing::SimBridge bridge;
  std::atomic<bool> stop{false};
  ClientOptions limited;
  limited.observer = recorder.observer();
  limited.deadline = 300ms;
  limited.interrupted = [&] { return stop.load(); };
  IsaacSimClient client("stalled", bridge.server().httpUrl(), bridge.server().wsUrl(), 5s, 0, limited);
  auto call = std::async(std::launch::async, [&] { return client.get("/nothing/here").status; });
  EXPECT_TRUE(endsWithin(call)) << "the call waited for the sink past its deadline";
  EXPECT_EQ(call.get(), 404);
  EXPECT_EQ(recorder.stats().dropped, 1U);

  ClientOptions interruptible = limited;
  interruptible.deadline.reset();
  IsaacSimClient patient("interrupted", bridge.server().httpUrl(), bridge.server().wsUrl(), 5s, 0, interruptible);
  auto interrupted = std::async(std::launch::async, [&] { (void)patient.get("/nothing/here"); });
  std::this_thread::sleep_for(200ms);
  stop = true;
  EXPECT_TRUE(endsWithin(interrupted)) << "the hook was not asked while waiting";
  EXPECT_THROW(interrupted.get(), InterruptedError);
  EXPECT_EQ(recorder.stats().dropped, 2U);

  draining = true;
  EXPECT_NO_THROW(recorder.close());
  closed = true;
  drain.join();
  ::close(reader);
}

TEST_F(RecorderTest, FailsClearlyAndKeepsCompleteChunks) {
  EXPECT_THROW_CONTAINING(Recorder(file("no/such/dir.mcap")), RecordingError, "cannot create");

  if (fs::exists("/dev/full")) {
    RecorderOptions tiny;
    tiny.chunkSize = 1;
    Recorder full("/dev/full", tiny);
    auto fill = [&] {
      for (int i = 0; i < 2000; ++i) {
        full.write("/t", {{"i", i}});
        std::this_thread::sleep_for(1ms);
      }
    };
    EXPECT_THROW_CONTAINING(fill(), RecordingError, "No space left on device");
    EXPECT_THROW_CONTAINING(full.close(), RecordingError, "No space left on device");
  }

  // A child records, then dies without closing: every chunk but the open one is back.
  const std::string killed = file("killed.mcap");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RecorderOptions options;
    options.compression = Compression::none;  // its open chunk is in the file already, behind a placeholder
    options.chunkSize = 2048;
    options.chunkInterval = 50ms;
    auto* recorder = new Recorder(killed, options);  // never closed
    for (int i = 0; i < 100; ++i) recorder->write("/t", {{"i", i}});
    std::this_thread::sleep_for(500ms);  // the writer empties its queue; the interval closes the last chunk
    recorder->write("/t", {{"i", 100}});
    ::kill(::getpid(), SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  RecordingReader reader(killed);
  EXPECT_FALSE(reader.indexed());
  int expected = 0;
  reader.forEach({}, [&](const RecordedMessage& m) { EXPECT_EQ(nlohmann::json::parse(m.data)["i"], expected++); });
  EXPECT_GE(expected, 100);
}

}  // namespace
}  // namespace corvane
