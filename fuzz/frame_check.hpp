#pragma once

// What the fuzz target and the corpus replay test demand of the frame decoder on any body: it either
// rejects the body with one of its documented exceptions, or returns a frame whose every output is a copy
// of bytes inside the body's payload, at the place the manifest names; and reading the frame back (lookups,
// counts, typed views) never fails in an undocumented way.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "corvane/camera.hpp"

namespace frame_check {

using Json = nlohmann::json;

inline std::size_t manifestEnd(std::string_view body) {
  std::uint64_t length = 0;
  for (int i = 7; i >= 4; --i) length = (length << 8) | static_cast<unsigned char>(body[static_cast<std::size_t>(i)]);
  return static_cast<std::size_t>(8 + length);
}

inline std::string_view bytesOf(const corvane::CameraOutput& output) {
  return {reinterpret_cast<const char*>(output.data.data()), output.data.size()};
}

// A manifest number as the byte position or count it names, read by the rule the decoder documents and
// written here on its own, so the check does not trust the code it checks: integers as their 64-bit
// pattern, floating values truncated toward zero. Any floating value that cannot name a position inside a
// payload (negative after truncation, NaN, 2^64 or more) maps to the largest count, which no payload holds.
inline std::uint64_t countOf(const Json& number) {
  if (!number.is_number_float()) return number.get<std::uint64_t>();
  const double truncated = std::trunc(number.get<double>());
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(truncated >= 0 && truncated < kTwoTo64)) return UINT64_MAX;
  return static_cast<std::uint64_t>(truncated);
}

// Descriptor `d`'s region of the payload, worked out independently of the decoder, must hold exactly the
// output's bytes. An empty region is inside any payload, the empty one included.
inline std::string checkOutput(const Json& d, const corvane::CameraOutput& output, std::string_view payload) {
  const std::string_view bytes = bytesOf(output);
  if (bytes.size() > payload.size()) return "an output is larger than the payload";
  if (output.shape.size() != d.at("shape").size()) return "an output's shape has the wrong rank";
  const std::uint64_t start = countOf(d.at("offset"));
  const std::uint64_t size = countOf(d.at("nbytes"));
  if (start > payload.size() || size > payload.size() - start) return "an output outside the payload decoded";
  if (payload.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(size)) != bytes) {
    return "an output's bytes differ from its region of the payload";
  }
  return {};
}

// Empty when every output of `frame`, the decoding of `body`, is a faithful copy of bytes of the payload.
inline std::string outputsInsideBody(const corvane::CameraFrame& frame, std::string_view body) {
  const std::size_t end = manifestEnd(body);
  const std::string_view payload = body.substr(end);
  const Json manifest = Json::parse(body.begin() + 8, body.begin() + static_cast<std::ptrdiff_t>(end));
  std::size_t index = 0;
  for (const Json& descriptor : manifest.at("arrays")) {
    if (index >= frame.outputs.size()) return "fewer outputs than descriptors";
    std::string problem = checkOutput(descriptor, frame.outputs[index++], payload);
    if (!problem.empty()) return problem;
  }
  return index == frame.outputs.size() ? std::string() : "more outputs than descriptors";
}

template <typename T>
double sumAs(const corvane::CameraOutput& output) {
  double sum = 0;
  try {
    for (const T value : output.as<T>()) sum += static_cast<double>(value);
  } catch (const std::invalid_argument&) {  // byte count and shape disagree: documented
  }
  return sum;
}

inline double readTyped(const corvane::CameraOutput& output) {
  const std::string& t = output.dtype;
  if (t == "bool") return sumAs<bool>(output);
  if (t == "int8") return sumAs<std::int8_t>(output);
  if (t == "uint8") return sumAs<std::uint8_t>(output);
  if (t == "int16") return sumAs<std::int16_t>(output);
  if (t == "uint16") return sumAs<std::uint16_t>(output);
  if (t == "int32") return sumAs<std::int32_t>(output);
  if (t == "uint32") return sumAs<std::uint32_t>(output);
  if (t == "int64") return sumAs<std::int64_t>(output);
  if (t == "uint64") return sumAs<std::uint64_t>(output);
  if (t == "float32") return sumAs<float>(output);
  if (t == "float64") return sumAs<double>(output);
  return 0;
}

// Reads everything a caller can read; returns a value derived from it so nothing is optimised away.
inline double readBack(const corvane::CameraFrame& frame) {
  double seen = 0;
  for (const corvane::CameraOutput& output : frame.outputs) {
    seen += static_cast<double>(output.elementCount() % 7 + output.itemSize()) + readTyped(output);
  }
  if (!frame.structure.is_object()) return seen;
  for (const auto& member : frame.structure.items()) {
    try {
      const corvane::CameraOutput* found = frame.output(member.key());
      if (found != nullptr) seen += static_cast<double>(found - frame.outputs.data());
    } catch (const Json::type_error&) {  // "__ndarray__" is not a number: documented
    }
  }
  return seen;
}

enum class Outcome { decoded, rejected };

// Decodes `body` as a 200 reply. Documented rejections give `rejected`; any other exception propagates.
// `problem` is set when a decoded frame breaks the rules above.
inline Outcome decodeChecked(std::string_view body, std::string& problem, double* seen = nullptr) {
  corvane::HttpResponse response;
  response.status = 200;
  response.body.assign(body);
  corvane::CameraFrame frame;
  try {
    frame = corvane::detail::decodeFrame(response);
  } catch (const nlohmann::json::exception&) {
    return Outcome::rejected;
  } catch (const std::runtime_error&) {
    return Outcome::rejected;
  }
  problem = outputsInsideBody(frame, body);
  const double value = readBack(frame);
  if (seen != nullptr) *seen = value;
  return Outcome::decoded;
}

}  // namespace frame_check
