// Steps: what Recorder::step writes (channels, schemas, one log time) and RecordingReader::steps gives back
// (the same bytes, shapes, order and episodes), a captured output recorded where it lies, and bad steps refused.
#include <unistd.h>

#include <filesystem>
#include <numeric>

#include <gtest/gtest.h>

#include "corvane/record/recorder.hpp"
#include "corvane/record/recording_reader.hpp"
#include "expect_throw.hpp"
#include "sim_bridge.hpp"
#include "temp_dir.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// An array of `shape` and `dtype` whose bytes count up from `seed`, with the storage it views.
struct Filled {
  std::vector<std::byte> bytes;
  StepArray array;
  Filled(std::vector<std::size_t> shape, std::string dtype, std::size_t itemSize, int seed) {
    const std::size_t n = std::accumulate(shape.begin(), shape.end(), itemSize, std::multiplies<>());
    for (std::size_t i = 0; i < n; ++i) bytes.push_back(static_cast<std::byte>((seed + i * 7) & 0xff));
    array = {std::move(shape), std::move(dtype), bytes.data(), bytes.size(), nullptr};
  }
};

std::string bytesOf(const StepArray& a) { return {reinterpret_cast<const char*>(a.data), a.size}; }

class StepTest : public testing::TempDirTest {};

TEST_F(StepTest, StepsReadBackExactlyInOrderWithTheirEpisodes) {
  std::vector<std::vector<Filled>> written;  // per step: rgb, depth, mask (HxWx1), state, plain action
  {
    RecorderOptions options;
    options.chunkSize = 700;  // steps straddle chunks
    Recorder recorder(file("steps.mcap"), options);
    for (int episode = 0; episode < 2; ++episode) {
      recorder.write("/episode", {{"event", "start"}, {"task", "reach"}, {"env_args", {{"env_name", "Reach"}}}});
      for (int i = 0; i < 3; ++i) {
        const int seed = episode * 10 + i;
        auto& s = written.emplace_back();
        s.emplace_back(std::vector<std::size_t>{4, 5, 3}, "uint8", 1, seed);
        s.emplace_back(std::vector<std::size_t>{4, 5}, "float32", 4, seed + 1);
        s.emplace_back(std::vector<std::size_t>{4, 5, 1}, "uint8", 1, seed + 2);
        s.emplace_back(std::vector<std::size_t>{7}, "float64", 8, seed + 3);
        s.emplace_back(std::vector<std::size_t>{2}, "float64", 8, seed + 4);
        StepInput input{{{"rgb", s[0].array}, {"depth", s[1].array}, {"mask", s[2].array}, {"state", s[3].array}},
                        {},
                        i == 2 ? std::optional<double>(1.0) : std::nullopt,
                        i == 2 ? std::optional<bool>(true) : std::nullopt,
                        0.5 * i};
        if (episode == 0) input.action = {{"", s[4].array}};
        if (episode == 1) input.action = {{"arm", s[4].array}, {"gripper", s[3].array}};
        EXPECT_EQ(recorder.step(input), static_cast<std::uint64_t>(i));
      }
      recorder.write("/episode", {{"event", "end"}, {"success", episode == 1}});
    }
  }
  RecordingReader reader(file("steps.mcap"));
  std::map<std::string, std::string> schemaOf;
  for (const auto& [id, c] : reader.channels()) {
    schemaOf[c.topic] = c.schemaId == 0 ? c.messageEncoding : reader.schemas().at(c.schemaId).name;
  }
  EXPECT_EQ(schemaOf["/step/observation/rgb"], "sensor_msgs/Image");
  EXPECT_EQ(schemaOf["/step/observation/depth"], "sensor_msgs/Image");
  EXPECT_EQ(schemaOf["/step/observation/mask"], "corvane_msgs/NDArray");  // an image would read back as HxW
  EXPECT_EQ(schemaOf["/step/observation/state"], "corvane_msgs/NDArray");
  EXPECT_EQ(schemaOf["/step/action"], "corvane_msgs/NDArray");
  EXPECT_EQ(schemaOf["/step/action/gripper"], "corvane_msgs/NDArray");
  EXPECT_EQ(schemaOf["/step"], "json");

  StepCursor cursor = reader.steps();
  std::uint64_t lastTime = 0;
  for (std::size_t n = 0; n < written.size(); ++n) {
    auto step = cursor.next();
    ASSERT_TRUE(step.has_value());
    EXPECT_EQ(step->episode, n / 3);
    EXPECT_EQ(step->index, n % 3);
    EXPECT_GT(step->logTime, lastTime);
    lastTime = step->logTime;
    EXPECT_EQ(step->time, 0.5 * static_cast<double>(n % 3));
    EXPECT_EQ(step->done.has_value(), n % 3 == 2);
    ASSERT_EQ(step->observation.size(), 4U);
    const char* keys[] = {"rgb", "depth", "mask", "state"};
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(step->observation[k].first, keys[k]);
      EXPECT_EQ(step->observation[k].second.shape, written[n][k].array.shape);
      EXPECT_EQ(step->observation[k].second.dtype, written[n][k].array.dtype);
      EXPECT_EQ(step->observation[k].second.data, bytesOf(written[n][k].array));
    }
    ASSERT_EQ(step->action.size(), n < 3 ? 1U : 2U);
    EXPECT_EQ(step->action[0].first, n < 3 ? "" : "arm");
    EXPECT_EQ(step->action[0].second.data, bytesOf(written[n][4].array));
  }
  EXPECT_FALSE(cursor.next().has_value());
  ASSERT_EQ(cursor.episodes().size(), 2U);
  EXPECT_EQ(cursor.episodes()[1].attributes["env_args"]["env_name"], "Reach");
  EXPECT_EQ(cursor.episodes()[1].attributes["success"], true);
  EXPECT_EQ(cursor.incomplete(), 0U);

  // Every message of a step carries its one log time.
  std::map<std::uint64_t, int> perTime;
  reader.forEach({}, [&](const RecordedMessage& m) {
    if (m.channel->topic.rfind("/step", 0) == 0) ++perTime[m.logTime];
  });
  EXPECT_EQ(perTime.size(), written.size());
  EXPECT_EQ(perTime.begin()->second, 6);  // 4 observations, 1 action, the record
}

TEST_F(StepTest, ACapturedOutputIsRecordedWhereItLies) {
  testing::SimBridge bridge;
  IsaacSimClient client("step", bridge.server().httpUrl(), bridge.server().wsUrl(), 10s, 0);
  client.camera.create("/World/cam", std::vector<int>{8, 6});
  const SharedFrame frame = client.camera.captureShared("/World/cam");
  const SharedOutput* rgb = frame.output("rgb");
  ASSERT_NE(rgb, nullptr);
  const StepArray array = StepArray::of(*rgb);
  EXPECT_EQ(array.data, rgb->data());  // a view, and it shares the reply
  EXPECT_EQ(array.owner.get(), static_cast<const void*>(rgb->bytes().get()));
  {
    Recorder recorder(file("frame.mcap"));
    recorder.step({{{"rgb", array}}, {}, {}, {}, {}});
  }
  RecordingReader reader(file("frame.mcap"));
  auto step = reader.steps().next();
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step->observation.at(0).second.shape, rgb->shape);
  EXPECT_EQ(step->observation.at(0).second.data,
            std::string_view(reinterpret_cast<const char*>(rgb->data()), rgb->nbytes()));
}

TEST_F(StepTest, RefusesBadStepsAndAClosedRecorder) {
  Recorder recorder(file("bad.mcap"));
  Filled state({7}, "float64", 8, 0);
  StepArray short_ = state.array;
  short_.size -= 8;
  EXPECT_THROW_CONTAINING(recorder.step({{{"state", short_}}, {}, {}, {}, {}}), std::invalid_argument, "\"state\"");
  EXPECT_THROW_CONTAINING(recorder.step({{{"a", state.array}, {"a", state.array}}, {}, {}, {}, {}}),
                          std::invalid_argument, "repeated");
  EXPECT_THROW_CONTAINING(recorder.step({{{"", state.array}}, {}, {}, {}, {}}), std::invalid_argument, "empty");
  StepArray odd = state.array;
  odd.dtype = "complex64";
  EXPECT_THROW(recorder.step({{{"x", odd}}, {}, {}, {}, {}}), std::invalid_argument);
  EXPECT_EQ(recorder.step({{{"state", state.array}}, {}, {}, {}, {}}), 0U);  // refused steps took no index
  recorder.close();
  EXPECT_THROW(recorder.step({{{"state", state.array}}, {}, {}, {}, {}}), std::logic_error);
}

TEST_F(StepTest, AStepWhoseBytesDoNotMatchItsShapeIsAnError) {
  {
    McapWriter writer(file("odd.mcap"));
    const auto schema =
        writer.addSchema("corvane_msgs/NDArray", "ros1msg", "string dtype\nuint32[] shape\nuint8[] data\n");
    const auto array = writer.addChannel("/step/observation/state", "ros1", schema);
    const auto record = writer.addChannel("/step", "json", 0);
    // float64, shape [7], but 8 bytes of data
    std::string payload("\x07\0\0\0float64\x01\0\0\0\x07\0\0\0\x08\0\0\0", 23);
    payload.append(8, '\0');
    writer.write(array, 10, 10, payload);
    writer.write(record, 10, 10, R"({"index":0,"keys":["state"]})");
  }
  RecordingReader reader(file("odd.mcap"));
  StepCursor steps = reader.steps();
  EXPECT_THROW_CONTAINING((void)steps.next(), RecordingError, "/step/observation/state");
}

}  // namespace
}  // namespace corvane
