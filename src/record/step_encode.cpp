#include "record/step_encode.hpp"

#include <set>
#include <stdexcept>

#include "corvane/camera.hpp"

namespace corvane::record {
namespace {

using Json = nlohmann::json;

void checkArray(const std::string& key, const StepArray& array) {
  try {
    checkArrayBytes(array.shape, array.dtype, array.size);
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument("Recorder::step: \"" + key + "\": " + error.what());
  }
}

void checkKeys(const StepArrays& arrays, bool allowEmpty) {
  std::set<std::string> seen;
  for (const auto& [key, array] : arrays) {
    if (key.empty() && !(allowEmpty && arrays.size() == 1))
      throw std::invalid_argument("Recorder::step: a key is empty");
    if (!seen.insert(key).second) throw std::invalid_argument("Recorder::step: the key \"" + key + "\" is repeated");
    checkArray(key, array);
  }
}

Outgoing encodeArray(std::string topic, const std::string& key, const StepArray& array, std::uint64_t logTime) {
  // Held like a shared frame's output when the array has an owner (aliased onto its bytes), else copied.
  std::shared_ptr<const std::byte> owner;
  if (array.owner) owner = std::shared_ptr<const std::byte>(array.owner, array.data);
  const ObservedOutput output{key, &array.shape, array.dtype, array.data, array.size, std::move(owner)};
  return encodeOutput(std::move(topic), output, key, logTime, logTime, true);
}

Json keysOf(const StepArrays& arrays) {
  Json keys = Json::array();
  for (const auto& entry : arrays) keys.push_back(entry.first);
  return keys;
}

}  // namespace

void checkArrayBytes(const std::vector<std::size_t>& shape, const std::string& dtype, std::size_t size) {
  // The frame format's own size check, on a view of no bytes at all.
  const SharedOutput view(shape, dtype, nullptr, size);
  (void)detail::checkedElementCount(view, dtype);
}

void checkStep(const StepInput& step) {
  checkKeys(step.observation, false);
  checkKeys(step.action, true);
}

std::vector<Outgoing> encodeStep(const StepInput& step, std::uint64_t index, std::uint64_t logTime) {
  std::vector<Outgoing> out;
  out.reserve(step.observation.size() + step.action.size() + 1);
  for (const auto& [key, array] : step.observation) {
    out.push_back(encodeArray(std::string(step_topics::kObservation) + key, key, array, logTime));
  }
  const bool plainAction = step.action.size() == 1 && step.action[0].first.empty();
  for (const auto& [key, array] : step.action) {
    std::string topic(step_topics::kAction);
    if (!plainAction) topic += "/" + key;
    out.push_back(encodeArray(std::move(topic), key.empty() ? "action" : key, array, logTime));
  }
  Json record{{"index", index}, {"keys", keysOf(step.observation)}};
  if (plainAction) record["action"] = "array";
  if (!step.action.empty() && !plainAction) {
    record["action"] = "dict";
    record["action_keys"] = keysOf(step.action);
  }
  if (step.reward) record["reward"] = *step.reward;
  if (step.done) record["done"] = *step.done;
  if (step.time) record["time"] = *step.time;
  out.push_back({std::string(step_topics::kRecord), Encoding::json, jsonPayload(record), logTime, logTime});
  return out;
}

}  // namespace corvane::record

namespace corvane {

StepArray StepArray::of(const SharedOutput& output) {
  return {output.shape, output.dtype, output.data(), output.nbytes(), output.bytes()};
}

StepArray StepArray::of(const std::vector<double>& values) {
  return {{values.size()},
          "float64",
          reinterpret_cast<const std::byte*>(values.data()),
          values.size() * sizeof(double),
          nullptr};
}

}  // namespace corvane
