#include "record/recorder_encode.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "corvane/response.hpp"
#include "record/mcap_bytes.hpp"
#include "record/video_channels.hpp"

namespace corvane::record {

const char* const kImageSchemaName = "sensor_msgs/Image";
const char* const kImageSchema =
    "Header header\nuint32 height\nuint32 width\nstring encoding\nuint8 is_bigendian\nuint32 step\nuint8[] data\n"
    "================================================================================\n"
    "MSG: std_msgs/Header\nuint32 seq\ntime stamp\nstring frame_id\n";
const char* const kArraySchemaName = "corvane_msgs/NDArray";
const char* const kArraySchema =
    "# An n-dimensional array: its element type (numpy's name, e.g. float32), its dimensions and its bytes\n"
    "# (little-endian, C order).\nstring dtype\nuint32[] shape\nuint8[] data\n";

namespace {

using Json = nlohmann::json;

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// A body as JSON when it is JSON, as text when it is short text, else only its size.
void putBody(Json& out, const char* key, std::string_view body, bool binary) {
  if (body.empty()) return;
  if (!binary) {
    Json parsed = Json::parse(body, nullptr, false);
    if (!parsed.is_discarded()) {
      out[key] = std::move(parsed);
      return;
    }
    if (body.size() <= 4096 && body.find('\0') == std::string_view::npos) {
      out[key] = std::string(body);
      return;
    }
  }
  out[std::string(key) + "_bytes"] = body.size();
}

// "/" and `path` with runs of slashes made one: "cameras//World/cam" -> "/cameras/World/cam".
std::string withLeadingSlash(std::string_view path) {
  std::string topic = "/";
  for (const char c : path) {
    if (c != '/' || topic.back() != '/') topic += c;
  }
  return topic;
}

struct ImageKind {
  const char* encoding;
  std::size_t channels, itemSize;
};

// The image encoding of an output shaped as one, or nothing.
std::optional<ImageKind> imageKind(const ObservedOutput& output) {
  const auto& shape = *output.shape;
  if (shape.size() < 2 || shape.size() > 3 || shape[0] == 0 || shape[1] == 0) return std::nullopt;
  const std::size_t channels = shape.size() == 3 ? shape[2] : 1;
  std::optional<ImageKind> kind;
  if (output.dtype == "uint8" && channels == 3) kind = ImageKind{"rgb8", 3, 1};
  if (output.dtype == "uint8" && channels == 4) kind = ImageKind{"rgba8", 4, 1};
  if (output.dtype == "uint8" && channels == 1) kind = ImageKind{"mono8", 1, 1};
  if (output.dtype == "uint16" && channels == 1) kind = ImageKind{"16UC1", 1, 2};
  if (output.dtype == "float32" && channels == 1) kind = ImageKind{"32FC1", 1, 4};
  if (kind && output.size != shape[0] * shape[1] * kind->channels * kind->itemSize) return std::nullopt;
  return kind;
}

void putString(ByteWriter& w, std::string_view s) { w.str(s); }

// The ros1 image up to its pixel bytes (their length included), which attachBytes() adds.
std::string imageHead(const ObservedOutput& output, const ImageKind& kind, std::string_view frameId,
                      std::uint64_t stamp) {
  const auto& shape = *output.shape;
  std::string out;
  out.reserve(64 + frameId.size() + (output.owner ? 0 : output.size));
  ByteWriter w(out);
  w.u32(0).u32(static_cast<std::uint32_t>(stamp / 1000000000U)).u32(static_cast<std::uint32_t>(stamp % 1000000000U));
  putString(w, frameId);
  w.u32(static_cast<std::uint32_t>(shape[0])).u32(static_cast<std::uint32_t>(shape[1]));
  putString(w, kind.encoding);
  w.u8(0).u32(static_cast<std::uint32_t>(shape[1] * kind.channels * kind.itemSize));
  w.u32(static_cast<std::uint32_t>(output.size));
  return out;
}

// The ros1 array up to its bytes (their length included), which attachBytes() adds.
std::string arrayHead(const ObservedOutput& output) {
  std::string out;
  out.reserve(16 + output.dtype.size() + output.shape->size() * 4 + (output.owner ? 0 : output.size));
  ByteWriter w(out);
  putString(w, output.dtype);
  w.u32(static_cast<std::uint32_t>(output.shape->size()));
  for (std::size_t d : *output.shape) w.u32(static_cast<std::uint32_t>(d));
  w.u32(static_cast<std::uint32_t>(output.size));
  return out;
}

// Ends the message with the output's bytes: held where the reply keeps them when it may be (the shared road),
// else copied (they are valid only during the observer's call).
Outgoing attachBytes(Outgoing m, const ObservedOutput& output) {
  const std::string_view bytes(reinterpret_cast<const char*>(output.data), output.size);
  if (output.owner) {
    m.body = bytes;
    m.hold = output.owner;
  } else {
    m.payload.append(bytes);
  }
  return m;
}

bool endsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

bool isJointStream(std::string_view topic) {
  return endsWith(topic, "/stream_joint_positions") || endsWith(topic, "/stream_articulation_state");
}

// A label image (integer ids, HxW) named as segmentation: shown colourised, each id its own colour.
bool isSegmentation(const ObservedOutput& output) {
  return output.name.find("segmentation") != std::string_view::npos && output.shape->size() == 2 &&
         (output.dtype == "uint32" || output.dtype == "int32") &&
         output.size == (*output.shape)[0] * (*output.shape)[1] * 4;
}

Outgoing encodeColorized(const ObservedOutput& output, std::string topic, std::string_view frameId, std::uint64_t end,
                         std::uint64_t start) {
  const std::size_t pixels = output.size / 4;
  std::vector<std::byte> rgb(pixels * 3);
  for (std::size_t i = 0; i < pixels; ++i) {
    std::uint32_t id = 0;
    std::memcpy(&id, output.data + i * 4, 4);
    const std::uint32_t colour = id == 0 ? 0 : (id * 2654435761U) | 0x404040U;  // 0 (unlabelled) black
    for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = static_cast<std::byte>(colour >> (8 * c));
  }
  const std::vector<std::size_t> shape{(*output.shape)[0], (*output.shape)[1], 3};
  const ObservedOutput colour{output.name, &shape, "uint8", rgb.data(), rgb.size()};
  return attachBytes(
      {std::move(topic), Encoding::image, imageHead(colour, ImageKind{"rgb8", 3, 1}, frameId, end), end, start},
      colour);
}

Json stampJson(std::uint64_t ns) { return {{"sec", ns / 1000000000U}, {"nsec", ns % 1000000000U}}; }

// foxglove.FrameTransform: `child` placed in `parent` by a translation [x, y, z] and a rotation {x, y, z, w}.
std::string transformPayload(std::string_view parent, std::string_view child, const Json& translation,
                             const Json& rotation, std::uint64_t stamp) {
  return dump({{"timestamp", stampJson(stamp)},
               {"parent_frame_id", parent},
               {"child_frame_id", child},
               {"translation", {{"x", translation[0]}, {"y", translation[1]}, {"z", translation[2]}}},
               {"rotation", rotation}});
}

// foxglove.CameraCalibration from the result tree's intrinsics and resolution, and foxglove.FrameTransform from
// its camera pose (position, orientation w x y z), each when present.
void addCameraModel(std::vector<Outgoing>& out, const Json& tree, std::string_view frameId, const std::string& prim,
                    std::uint64_t end, std::uint64_t start) {
  if (!tree.is_object()) return;
  const auto k = tree.find("intrinsics");
  const auto size = tree.find("resolution");
  if (k != tree.end() && size != tree.end() && k->is_object() && size->is_array() && size->size() == 2) {
    const double fx = k->value("fx", 0.0), fy = k->value("fy", 0.0), cx = k->value("cx", 0.0), cy = k->value("cy", 0.0);
    const Json calibration{{"timestamp", stampJson(end)},
                           {"frame_id", frameId},
                           {"width", (*size)[0]},
                           {"height", (*size)[1]},
                           {"distortion_model", "plumb_bob"},
                           {"D", {0, 0, 0, 0, 0}},
                           {"K", {fx, 0, cx, 0, fy, cy, 0, 0, 1}},
                           {"R", {1, 0, 0, 0, 1, 0, 0, 0, 1}},
                           {"P", {fx, 0, cx, 0, 0, fy, cy, 0, 0, 0, 1, 0}}};
    out.push_back({prim + "/calibration", Encoding::calibration, dump(calibration), end, start});
  }
  const auto pose = tree.find("camera_pose");
  if (pose == tree.end() || !pose->is_object()) return;
  const Json& p = pose->value("position", Json());
  const Json& q = pose->value("orientation", Json());
  if (!p.is_array() || p.size() != 3 || !q.is_array() || q.size() != 4) return;
  out.push_back({prim + "/transform", Encoding::transform,
                 transformPayload("world", frameId, p, {{"x", q[1]}, {"y", q[2]}, {"z", q[3]}, {"w", q[0]}}, end), end,
                 start});
}

}  // namespace

std::uint64_t nanosSinceEpoch(ObservedTime time) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

ChannelSchema channelSchema(Encoding encoding) {
  switch (encoding) {
    case Encoding::image:
      return {"ros1", kImageSchemaName, "ros1msg", kImageSchema, true};
    case Encoding::array:
      return {"ros1", kArraySchemaName, "ros1msg", kArraySchema, true};
    case Encoding::calibration:
      return {"json", kCalibrationSchemaName, "jsonschema", kCalibrationSchema, false};
    case Encoding::transform:
      return {"json", kTransformSchemaName, "jsonschema", kTransformSchema, false};
    case Encoding::rest:
      return {"json", kRestSchemaName, "jsonschema", kRestSchema, false};
    case Encoding::jointSample:
      return {"json", kJointSampleSchemaName, "jsonschema", kJointSampleSchema, false};
    case Encoding::compressedVideo:  // a delta frame needs the frames before it: none is replaced
      return {"protobuf", kCompressedVideoSchemaName, "protobuf", kCompressedVideoSchema, false};
    case Encoding::compressedImage:
      return {"protobuf", kCompressedImageSchemaName, "protobuf", kCompressedImageSchema, true};
    case Encoding::json:
      break;
  }
  return {"json", "", "", "", false};
}

const char* const kStaticTransformTopic = "/transforms";

Outgoing encodeTransform(const FrameTransform& t, std::uint64_t time) {
  if (t.parentFrame.empty() || t.childFrame.empty())
    throw std::invalid_argument("a frame transform needs a parent and a child frame");
  const auto& q = t.rotation;
  const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(std::abs(norm - 1) < 1e-3))  // NaN fails too
    throw std::invalid_argument("a frame transform's rotation must be a unit quaternion (x, y, z, w)");
  const Json rotation{{"x", q[0]}, {"y", q[1]}, {"z", q[2]}, {"w", q[3]}};
  return {kStaticTransformTopic, Encoding::transform,
          transformPayload(t.parentFrame, t.childFrame, Json(t.translation), rotation, time), time, time};
}

std::string jsonPayload(const Json& message) {
  return message.is_object() ? dump(message) : dump(Json{{"value", message}});
}

Outgoing encodeRest(const RestExchange& e) {
  Json out{{"method", e.method}, {"path", e.path}, {"attempts", e.attempts}};
  putBody(out, "request", e.requestBody, false);
  if (e.response != nullptr) {
    out["status"] = e.response->status;
    const std::string* type = e.response->header("Content-Type");
    const bool binary = type != nullptr && type->find("octet-stream") != std::string::npos;
    putBody(out, "reply", e.response->body, binary);
    out["headers"] = e.response->headers;
  } else if (e.error) {
    try {
      std::rethrow_exception(e.error);
    } catch (const std::exception& error) {
      out["error"] = error.what();
    } catch (...) {
      out["error"] = "unknown error";
    }
  }
  const std::uint64_t start = nanosSinceEpoch(e.start), end = nanosSinceEpoch(e.end);
  out["start_ns"] = start;
  out["end_ns"] = end;
  return {"/rest" + withLeadingSlash(e.path), Encoding::rest, dump(out), end, start};
}

// "ws://host:port/articulations//World/arm/stream_joint_positions" -> "/World/arm/stream_joint_positions"
std::string streamTopic(std::string_view url) {
  const auto scheme = url.find("://");
  std::string_view path = url.substr(scheme == std::string_view::npos ? 0 : scheme + 3);
  path = path.substr(std::min(path.find('/'), path.size()));
  constexpr std::string_view kFamily = "/articulations/";
  if (path.substr(0, kFamily.size()) == kFamily) path.remove_prefix(kFamily.size());
  return withLeadingSlash(path);
}

Outgoing encodeStream(const StreamEvent& e) {
  static const char* const kNames[] = {"opened", "sent", "received", "closed_by_bridge", "closed", "reconnected"};
  const std::uint64_t time = nanosSinceEpoch(e.time);
  std::string topic = streamTopic(e.url);
  if (e.kind == StreamEventKind::received || e.kind == StreamEventKind::sent) {
    const bool sample = e.kind == StreamEventKind::received && isJointStream(topic);
    if (e.kind == StreamEventKind::sent) topic += "/sent";
    Json parsed = Json::parse(e.message, nullptr, false);
    std::string payload = !parsed.is_discarded() && parsed.is_object() ? std::string(e.message)
                          : parsed.is_discarded()                      ? dump(Json{{"text", e.message}})
                                                                       : dump(Json{{"value", parsed}});
    const bool object = !parsed.is_discarded() && parsed.is_object();
    return {std::move(topic), sample && object ? Encoding::jointSample : Encoding::json, std::move(payload), time,
            time};
  }
  Json event{{"event", kNames[static_cast<int>(e.kind)]}, {"url", e.url}};
  return {topic + "/events", Encoding::json, dump(event), time, time};
}

std::vector<Outgoing> encodeFrame(const FrameObservation& f) { return encodeFrame(f, VideoChoice{}); }

VideoFormat VideoChoice::formatFor(std::string_view output) const {
  const auto found = byOutput.find(std::string(output));
  return found == byOutput.end() ? video : found->second;
}

namespace {

// A colour output left raw for the writer thread's encoder; nothing when it stays a ros1 image.
std::optional<Outgoing> rawColour(const ObservedOutput& output, const ImageKind& kind, const VideoChoice& video,
                                  std::string_view frameId) {
  VideoFormat format = video.formatFor(output.name);
  if (format == VideoFormat::none || kind.itemSize != 1 || (kind.channels != 3 && kind.channels != 4)) {
    return std::nullopt;
  }
  const auto height = static_cast<int>((*output.shape)[0]), width = static_cast<int>((*output.shape)[1]);
  const bool moving = format == VideoFormat::h264 || format == VideoFormat::av1;
  if (moving && (width % 2 != 0 || height % 2 != 0)) format = VideoFormat::png;  // 4:2:0 video needs even sides
  Outgoing out{
      {}, moving && format != VideoFormat::png ? Encoding::compressedVideo : Encoding::compressedImage, {}, 0, 0};
  out.raw = RawImage{std::string(frameId), width, height, static_cast<int>(kind.channels), format};
  return attachBytes(std::move(out), output);
}

}  // namespace

Outgoing encodeOutput(std::string topic, const ObservedOutput& output, std::string_view frameId, std::uint64_t logTime,
                      std::uint64_t publishTime, bool exactShape) {
  auto kind = imageKind(output);
  // An image reads back as HxW or HxWxC with C > 1: an HxWx1 array keeps its shape only as an array.
  if (kind && exactShape && output.shape->size() == 3 && kind->channels == 1) kind.reset();
  Outgoing m{std::move(topic), kind ? Encoding::image : Encoding::array,
             kind ? imageHead(output, *kind, frameId, logTime) : arrayHead(output), logTime, publishTime};
  return attachBytes(std::move(m), output);
}

std::vector<Outgoing> encodeFrame(const FrameObservation& f, const VideoChoice& video) {
  const std::uint64_t start = nanosSinceEpoch(f.start), end = nanosSinceEpoch(f.end);
  const std::string prim = withLeadingSlash(f.cameraPrim);
  std::vector<Outgoing> out;
  out.reserve(f.outputs.size() + 1);
  for (std::size_t i = 0; i < f.outputs.size(); ++i) {
    const ObservedOutput& output = f.outputs[i];
    std::string topic = prim + "/" + (output.name.empty() ? "output" + std::to_string(i) : std::string(output.name));
    const auto kind = imageKind(output);
    if (auto raw = kind ? rawColour(output, *kind, video, f.cameraPrim) : std::nullopt) {
      raw->topic = std::move(topic);
      raw->logTime = end;
      raw->publishTime = start;
      out.push_back(std::move(*raw));
      continue;
    }
    if (!kind && isSegmentation(output))
      out.push_back(encodeColorized(output, topic + "/colorized", f.cameraPrim, end, start));
    out.push_back(encodeOutput(std::move(topic), output, f.cameraPrim, end, start, false));
  }
  if (f.structure != nullptr) {
    out.push_back({prim + "/capture", Encoding::json, jsonPayload(*f.structure), end, start});
    addCameraModel(out, *f.structure, f.cameraPrim, prim, end, start);
  }
  return out;
}

}  // namespace corvane::record
