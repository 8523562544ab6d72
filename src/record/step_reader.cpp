// Reading steps back: a step's arrays arrive first on their channels at the step's log time, its JSON record
// last; episodes come from the "/episode" messages between them.
#include <set>

#include "corvane/record/recording_reader.hpp"
#include "record/mcap_bytes.hpp"
#include "record/step_encode.hpp"

namespace corvane {
namespace {

using Json = nlohmann::json;

struct ImageEncoding {
  std::string_view name, dtype;
  std::size_t channels;
};

constexpr ImageEncoding kImageEncodings[] = {
    {"rgb8", "uint8", 3}, {"rgba8", "uint8", 4}, {"mono8", "uint8", 1}, {"16UC1", "uint16", 1}, {"32FC1", "float32", 1},
};

RecordedArray decodeImage(const RecordedMessage& m) {
  record::ByteReader r(m.data);
  r.take(12);  // header: seq, stamp
  r.str();     // frame id
  const std::size_t height = r.u32(), width = r.u32();
  const std::string_view encoding = r.str();
  r.take(5);  // is_bigendian, step (rows are never padded in step images)
  const std::string_view data = r.str();
  for (const auto& e : kImageEncodings) {
    if (e.name != encoding) continue;
    std::vector<std::size_t> shape{height, width};
    if (e.channels > 1) shape.push_back(e.channels);
    return {std::move(shape), std::string(e.dtype), data, m.storage};
  }
  throw RecordingError("recording: a step image has the unknown encoding \"" + std::string(encoding) + "\"");
}

RecordedArray decodeArray(const RecordedMessage& m) {
  record::ByteReader r(m.data);
  RecordedArray array;
  array.dtype = std::string(r.str());
  const std::uint32_t dimensions = r.u32();
  for (std::uint32_t i = 0; i < dimensions; ++i) array.shape.push_back(r.u32());
  array.data = r.str();
  array.storage = m.storage;
  return array;
}

}  // namespace

struct StepCursor::State {
  const RecordingReader* reader = nullptr;
  std::optional<MessageCursor> messages;  // none when the file has no step or episode channel
  std::vector<RecordedEpisode> episodes;
  bool open = false;  // the last episode is open
  std::uint64_t incomplete = 0;
  std::uint64_t pendingTime = 0;
  std::map<std::string, RecordedArray> observation, action;  // of the step at pendingTime

  RecordedArray decode(const RecordedMessage& m) const {
    const auto schema = reader->schemas().find(m.channel->schemaId);
    const bool image = schema != reader->schemas().end() && schema->second.name == "sensor_msgs/Image";
    RecordedArray array = image ? decodeImage(m) : decodeArray(m);  // RecordingError when cut short
    try {
      record::checkArrayBytes(array.shape, array.dtype, array.data.size());
    } catch (const std::invalid_argument& error) {
      throw RecordingError("recording: the step message on " + m.channel->topic + ": " + error.what());
    }
    return array;
  }

  void onEpisode(const RecordedMessage& m) {
    const Json message = Json::parse(m.data, nullptr, false);
    if (!message.is_object() || !message.contains("event")) return;
    if (message["event"] == "start") {
      episodes.push_back({message, m.logTime, 0, false});
      open = true;
    } else if (message["event"] == "end" && open) {
      episodes.back().attributes.update(message);
      episodes.back().end = m.logTime;
      episodes.back().closed = true;
      open = false;
    }
  }

  // Drops the arrays of an earlier step whose record never came.
  void forget(std::uint64_t time) {
    if (time == pendingTime) return;
    observation.clear();
    action.clear();
    pendingTime = time;
  }

  void onArray(const RecordedMessage& m) {
    forget(m.logTime);
    const std::string_view topic = m.channel->topic;
    if (topic.substr(0, step_topics::kObservation.size()) == step_topics::kObservation) {
      observation[std::string(topic.substr(step_topics::kObservation.size()))] = decode(m);
    } else if (topic == step_topics::kAction) {
      action[""] = decode(m);
    } else if (topic.substr(0, step_topics::kAction.size() + 1) == std::string(step_topics::kAction) + "/") {
      action[std::string(topic.substr(step_topics::kAction.size() + 1))] = decode(m);
    }
  }

  // Moves the named arrays out of `from` in the order of `keys`; false when one is missing.
  static bool take(const Json& keys, std::map<std::string, RecordedArray>& from, RecordedArrays& to) {
    if (!keys.is_array()) return false;
    for (const auto& key : keys) {
      const auto found = key.is_string() ? from.find(key.get<std::string>()) : from.end();
      if (found == from.end()) return false;
      to.emplace_back(found->first, std::move(found->second));
    }
    return true;
  }

  std::optional<RecordedStep> onRecord(const RecordedMessage& m) {
    const Json record = Json::parse(m.data, nullptr, false);
    RecordedStep step;
    step.logTime = m.logTime;
    forget(m.logTime);
    bool whole = record.is_object() && take(record.value("keys", Json()), observation, step.observation);
    const Json actionKind = whole ? record.value("action", Json()) : Json();
    if (actionKind == "array") whole = take(Json::array({""}), action, step.action);
    if (actionKind == "dict") whole = take(record.value("action_keys", Json()), action, step.action);
    observation.clear();
    action.clear();
    if (!whole) {
      ++incomplete;
      return std::nullopt;
    }
    if (record.contains("index") && record["index"].is_number_unsigned())
      step.index = record["index"].get<std::uint64_t>();
    if (record.contains("time") && record["time"].is_number()) step.time = record["time"].get<double>();
    if (record.contains("reward") && record["reward"].is_number()) step.reward = record["reward"].get<double>();
    if (record.contains("done") && record["done"].is_boolean()) step.done = record["done"].get<bool>();
    if (!open) {
      episodes.push_back({Json::object(), m.logTime, 0, false});
      open = true;
    }
    step.episode = episodes.size() - 1;
    return step;
  }
};

StepCursor::StepCursor(std::unique_ptr<State> state) : state_(std::move(state)) {}
StepCursor::~StepCursor() = default;
StepCursor::StepCursor(StepCursor&&) noexcept = default;
StepCursor& StepCursor::operator=(StepCursor&&) noexcept = default;

std::optional<RecordedStep> StepCursor::next() {
  auto& s = *state_;
  if (!s.messages) return std::nullopt;
  while (auto m = s.messages->next()) {
    const std::string_view topic = m->channel->topic;
    if (topic == step_topics::kEpisode) {
      s.onEpisode(*m);
    } else if (topic == step_topics::kRecord) {
      if (auto step = s.onRecord(*m)) return step;
    } else {
      s.onArray(*m);
    }
  }
  return std::nullopt;
}

const std::vector<RecordedEpisode>& StepCursor::episodes() const noexcept { return state_->episodes; }
std::uint64_t StepCursor::incomplete() const noexcept { return state_->incomplete; }

StepCursor RecordingReader::steps() const {
  RecordingFilter filter;
  std::set<std::string> topics;
  for (const auto& [id, channel] : channels()) {
    const std::string& t = channel.topic;
    if (t == step_topics::kEpisode || t == step_topics::kRecord ||
        t.rfind(std::string(step_topics::kRecord) + "/", 0) == 0) {
      topics.insert(t);
    }
  }
  filter.topics.assign(topics.begin(), topics.end());
  auto state = std::make_unique<StepCursor::State>();
  state->reader = this;
  if (!filter.topics.empty()) state->messages.emplace(messages(filter));
  return StepCursor(std::move(state));
}

}  // namespace corvane
