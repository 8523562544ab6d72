#pragma once

// Steps: what a demonstration holds at each instant (an observation, an action, a reward, whether it is done),
// recorded by Recorder::step and read back by RecordingReader::steps.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/export.hpp"

namespace corvane {

class SharedOutput;

/// One array of a step: its dimensions, its element type (numpy's name, e.g. "uint8", "float32") and its
/// bytes (little-endian, C order). Without an owner the bytes are copied once, during Recorder::step; with one
/// (a SharedOutput's reply, say) they are not copied: the owner keeps them alive until they are written.
struct CORVANE_API StepArray {
  std::vector<std::size_t> shape;
  std::string dtype;
  const std::byte* data = nullptr;
  std::size_t size = 0;
  std::shared_ptr<const void> owner;

  /// A captured output, referenced where it lies (no copy).
  static StepArray of(const SharedOutput& output);
  /// float64 numbers as a one-dimensional array; `values` must live during the step call.
  static StepArray of(const std::vector<double>& values);
};

/// Named arrays in the caller's order.
using StepArrays = std::vector<std::pair<std::string, StepArray>>;

/// What Recorder::step records.
struct CORVANE_API StepInput {
  StepArrays observation;  ///< key ("rgb", "state"...) -> array; keys are non-empty and distinct
  /// The action: nothing, one array (one entry with an empty key) or named arrays.
  StepArrays action;
  std::optional<double> reward;
  std::optional<bool> done;
  std::optional<double> time;  ///< the simulation's time in seconds, when the caller has it
};

/// An array of a recorded step; `data` views `storage` (the decompressed chunk), which it keeps alive.
struct CORVANE_API RecordedArray {
  std::vector<std::size_t> shape;
  std::string dtype;
  std::string_view data;
  std::shared_ptr<const std::string> storage;
};

using RecordedArrays = std::vector<std::pair<std::string, RecordedArray>>;

/// A step read back, as it was recorded.
struct CORVANE_API RecordedStep {
  std::size_t episode = 0;    ///< the episode it belongs to (an index into StepCursor::episodes())
  std::uint64_t index = 0;    ///< its index in its episode, as recorded
  std::uint64_t logTime = 0;  ///< ns since the Unix epoch, shared by all its messages
  std::optional<double> time, reward;
  std::optional<bool> done;
  RecordedArrays observation;  ///< in the order the step listed its keys
  RecordedArrays action;       ///< empty: none; one entry with an empty key: a plain array; else named arrays
};

/// An episode as the "/episode" messages describe it: the start message's members updated by the end's.
struct CORVANE_API RecordedEpisode {
  nlohmann::json attributes = nlohmann::json::object();
  std::uint64_t start = 0, end = 0;  ///< log times of its start and end messages (0: none)
  bool closed = false;               ///< its end message has been read
};

/// Where a step's messages go (each on its own channel, all at the step's one log time, the record last).
namespace step_topics {
inline constexpr std::string_view kRecord = "/step";                    ///< JSON: index, keys, reward, done...
inline constexpr std::string_view kObservation = "/step/observation/";  ///< + key: an image or an array
inline constexpr std::string_view kAction = "/step/action";             ///< the plain action; + "/" + key: named
inline constexpr std::string_view kEpisode = "/episode";                ///< {"event": "start"|"end", ...}
}  // namespace step_topics

}  // namespace corvane
