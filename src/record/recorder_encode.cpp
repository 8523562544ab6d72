#include "record/recorder_encode.hpp"

#include <cstring>
#include <optional>

#include "corvane/response.hpp"
#include "record/mcap_bytes.hpp"

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

std::string withLeadingSlash(std::string_view path) {
  std::string topic = "/";
  topic += path.substr(std::min(path.find_first_not_of('/'), path.size()));
  return topic;
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

// The message up to the image's bytes (their length included); the bytes follow it.
std::string imageHead(const ObservedOutput& output, const ImageKind& kind, std::string_view frameId,
                      std::uint64_t stamp, std::size_t reserve) {
  const auto& shape = *output.shape;
  std::string out;
  out.reserve(64 + frameId.size() + reserve);
  ByteWriter w(out);
  w.u32(0).u32(static_cast<std::uint32_t>(stamp / 1000000000U)).u32(static_cast<std::uint32_t>(stamp % 1000000000U));
  putString(w, frameId);
  w.u32(static_cast<std::uint32_t>(shape[0])).u32(static_cast<std::uint32_t>(shape[1]));
  putString(w, kind.encoding);
  w.u8(0).u32(static_cast<std::uint32_t>(shape[1] * kind.channels * kind.itemSize));
  w.u32(static_cast<std::uint32_t>(output.size));
  return out;
}

// The message up to the array's bytes (their length included); the bytes follow it.
std::string arrayHead(const ObservedOutput& output, std::size_t reserve) {
  std::string out;
  out.reserve(16 + output.dtype.size() + output.shape->size() * 4 + reserve);
  ByteWriter w(out);
  putString(w, output.dtype);
  w.u32(static_cast<std::uint32_t>(output.shape->size()));
  for (std::size_t d : *output.shape) w.u32(static_cast<std::uint32_t>(d));
  w.u32(static_cast<std::uint32_t>(output.size));
  return out;
}

}  // namespace

std::uint64_t nanosSinceEpoch(ObservedTime time) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
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
  return {"/rest" + withLeadingSlash(e.path), Encoding::json, dump(out), end, start};
}

Outgoing encodeStream(const StreamEvent& e) {
  static const char* const kNames[] = {"opened", "sent", "received", "closed_by_bridge", "closed", "reconnected"};
  const std::uint64_t time = nanosSinceEpoch(e.time);
  std::string topic = streamTopic(e.url);
  if (e.kind == StreamEventKind::received || e.kind == StreamEventKind::sent) {
    if (e.kind == StreamEventKind::sent) topic += "/sent";
    Json parsed = Json::parse(e.message, nullptr, false);
    std::string payload = !parsed.is_discarded() && parsed.is_object() ? std::string(e.message)
                          : parsed.is_discarded()                      ? dump(Json{{"text", e.message}})
                                                                       : dump(Json{{"value", parsed}});
    return {std::move(topic), Encoding::json, std::move(payload), time, time};
  }
  Json event{{"event", kNames[static_cast<int>(e.kind)]}, {"url", e.url}};
  return {topic + "/events", Encoding::json, dump(event), time, time};
}

Outgoing encodeOutput(std::string topic, const ObservedOutput& output, std::string_view frameId, std::uint64_t logTime,
                      std::uint64_t publishTime, std::shared_ptr<const void> owner, bool exactShape) {
  auto kind = imageKind(output);
  // An image reads back as HxW or HxWxC with C > 1: an HxWx1 array keeps its shape only as an array.
  if (kind && exactShape && output.shape->size() == 3 && kind->channels == 1) kind.reset();
  const std::size_t copied = owner ? 0 : output.size;
  Outgoing m{std::move(topic), kind ? Encoding::image : Encoding::array,
             kind ? imageHead(output, *kind, frameId, logTime, copied) : arrayHead(output, copied), logTime,
             publishTime};
  const std::string_view bytes(reinterpret_cast<const char*>(output.data), output.size);
  if (owner) {
    m.body = bytes;
    m.bodyOwner = std::move(owner);
  } else {
    m.payload.append(bytes);
  }
  return m;
}

std::vector<Outgoing> encodeFrame(const FrameObservation& f) {
  const std::uint64_t start = nanosSinceEpoch(f.start), end = nanosSinceEpoch(f.end);
  const std::string prim = withLeadingSlash(f.cameraPrim);
  std::vector<Outgoing> out;
  out.reserve(f.outputs.size() + 1);
  for (std::size_t i = 0; i < f.outputs.size(); ++i) {
    const ObservedOutput& output = f.outputs[i];
    std::string topic = prim + "/" + (output.name.empty() ? "output" + std::to_string(i) : std::string(output.name));
    out.push_back(encodeOutput(std::move(topic), output, f.cameraPrim, end, start, nullptr, false));
  }
  if (f.structure != nullptr) out.push_back({prim + "/capture", Encoding::json, jsonPayload(*f.structure), end, start});
  return out;
}

}  // namespace corvane::record
