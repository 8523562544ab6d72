#pragma once

#include <stdexcept>
#include <string>

#include "corvane/export.hpp"

namespace corvane {

/// A recording file that cannot be read as one (bad magic, a torn or malformed record, a checksum that does not
/// match), or a recording that can no longer be written (the disk filled up, the writer failed before).
class CORVANE_API RecordingError : public std::runtime_error {
 public:
  explicit RecordingError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace corvane
