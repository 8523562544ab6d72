#pragma once

// Bridge-side encoder of the binary camera frame: "CVB1", the manifest length (32-bit little-endian),
// the JSON manifest, then the payload. Used by the simulated bridge, the test bridge and the fuzz corpus.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace frame_writer {

/// Header + `manifest` (serialised compactly) + `payload`, exactly as given: no check of the manifest,
/// so tests can build frames that are wrong on purpose.
std::string encodeFrame(const nlohmann::json& manifest, std::string_view payload);
/// Same, with the manifest text given verbatim (for malformed or oddly formatted manifests).
std::string encodeFrameText(std::string_view manifestText, std::string_view payload);

/// Builds a well-formed frame: arrays are laid out one after another in the payload, and each is named
/// in the structure by {"__ndarray__": index}.
class FrameWriter {
 public:
  /// Adds an array under `name` at the top level of the structure; returns its index.
  std::size_t add(std::string_view name, std::vector<std::uint64_t> shape, std::string dtype, const void* data,
                  std::size_t nbytes);
  /// Adds an array of `nbytes` zero bytes to be filled through data(index) before finish().
  std::size_t reserve(std::string_view name, std::vector<std::uint64_t> shape, std::string dtype, std::size_t nbytes);
  /// The bytes of array `index`; valid until the next add or reserve.
  char* data(std::size_t index);
  /// The structure tree; add more members (pose, metadata) before finish().
  nlohmann::json& structure() { return structure_; }
  /// Makes room for `payloadBytes` of array data (and the frame's head) up front, so that adding arrays
  /// never moves the payload and the rvalue finish() needs no second buffer. Optional.
  void expectPayload(std::size_t payloadBytes);
  /// The encoded frame.
  std::string finish() const&;
  /// The encoded frame, built inside the payload's own buffer (for large frames: no copy of the arrays).
  std::string finish() &&;

 private:
  nlohmann::json structure_ = nlohmann::json::object();
  nlohmann::json arrays_ = nlohmann::json::array();
  std::string payload_;
};

}  // namespace frame_writer
