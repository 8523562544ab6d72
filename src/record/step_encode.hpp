#pragma once

// Turning a step into recorded messages: one per observation key and action, then its JSON record.
#include <cstdint>
#include <string>
#include <vector>

#include "corvane/record/step.hpp"
#include "record/recorder_encode.hpp"

namespace corvane::record {

/// Throws std::invalid_argument unless `size` bytes are what `shape` elements of `dtype` take (a known dtype).
void checkArrayBytes(const std::vector<std::size_t>& shape, const std::string& dtype, std::size_t size);
/// Throws std::invalid_argument for an empty or repeated key, an unknown dtype, or bytes that do not match
/// their shape and dtype.
void checkStep(const StepInput& step);
/// The step's messages, all logged at `logTime`, its JSON record on "/step" last.
std::vector<Outgoing> encodeStep(const StepInput& step, std::uint64_t index, std::uint64_t logTime);

}  // namespace corvane::record
