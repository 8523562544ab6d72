#pragma once

// The frame decoder reads a plain manifest with its own fast reader and anything else with nlohmann/json.
// On any body, the fast reader must either give up or end exactly as the general decoder does: the same
// frame (the same JSON types and bit patterns in "structure", the same outputs), or the same error.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "camera/frame_decoder.hpp"

namespace fast_path_check {

using Json = nlohmann::json;

// Equal types and values throughout; floating values equal bit for bit (so -0.0 differs from 0.0, and
// integer 0 stored signed differs from 0 stored unsigned).
inline bool sameJson(const Json& a, const Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_number_float()) {
    const double x = a.get<double>();
    const double y = b.get<double>();
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  if (a.is_object()) {
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
      if (i.key() != j.key() || !sameJson(*i, *j)) return false;
    }
    return true;
  }
  if (a.is_array()) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!sameJson(a[i], b[i])) return false;
    }
    return true;
  }
  return a == b;
}

inline std::string frameDifference(const corvane::CameraFrame& fast, const corvane::CameraFrame& general) {
  if (!sameJson(fast.structure, general.structure)) return "the structures differ";
  if (fast.outputs.size() != general.outputs.size()) return "the output counts differ";
  for (std::size_t i = 0; i < fast.outputs.size(); ++i) {
    const corvane::CameraOutput& a = fast.outputs[i];
    const corvane::CameraOutput& b = general.outputs[i];
    if (a.shape != b.shape || a.dtype != b.dtype || a.data != b.data) return "output " + std::to_string(i) + " differs";
  }
  return {};
}

struct Result {
  std::optional<corvane::CameraFrame> frame;  ///< empty when an exception was thrown or the reader gave up
  std::string error;                          ///< the exception's type and text, if one was thrown
};

template <typename Decode>
Result run(Decode&& decode) {
  Result result;
  try {
    result.frame = decode();
  } catch (const nlohmann::json::exception& e) {
    result.error = "json: " + std::string(e.what());
  } catch (const std::runtime_error& e) {
    result.error = "runtime_error: " + std::string(e.what());
  }
  return result;
}

enum class Verdict { gaveUp, agreed };

// Decodes `body` as a 200 reply both ways. `problem` is set when the fast reader neither gave up nor
// agreed with the general decoder.
inline Verdict compareDecoders(std::string_view body, std::string& problem) {
  corvane::HttpResponse response;
  response.status = 200;
  response.body.assign(body);
  bool gaveUp = false;
  const Result fast = run([&]() -> std::optional<corvane::CameraFrame> {
    std::optional<corvane::CameraFrame> frame = corvane::detail::decodeFrameFast(response);
    gaveUp = !frame;
    return frame;
  });
  if (gaveUp) return Verdict::gaveUp;
  const Result general = run([&] { return corvane::detail::decodeFrameGeneral(response); });
  if (fast.error.rfind("json: ", 0) == 0) {
    problem = "the fast reader threw nlohmann's error \"" + fast.error + "\"";
  } else if (fast.error != general.error) {
    problem = "fast: \"" + fast.error + "\", general: \"" + general.error + "\"";
  } else if (fast.frame && general.frame) {
    problem = frameDifference(*fast.frame, *general.frame);
  }
  return Verdict::agreed;
}

}  // namespace fast_path_check
