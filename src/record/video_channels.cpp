#include "record/video_channels.hpp"

#include <deque>

#include "media/image_codec.hpp"
#include "media/video_encoder.hpp"

namespace corvane::record {

const char* const kCompressedVideoSchemaName = "foxglove.CompressedVideo";
const char* const kCompressedImageSchemaName = "foxglove.CompressedImage";

namespace {

// Protobuf's wire format, for the few fields of two messages: written here so that a frame's bytes are
// appended once, without a message object in between.
void varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

void lengthDelimited(std::string& out, unsigned field, std::string_view bytes) {
  varint(out, field << 3 | 2);
  varint(out, bytes.size());
  out.append(bytes);
}

// google.protobuf.Timestamp: seconds (1) and nanos (2), zero fields left out.
std::string timestamp(std::uint64_t stamp) {
  std::string out;
  const std::uint64_t seconds = stamp / 1000000000U, nanos = stamp % 1000000000U;
  if (seconds != 0) varint(out, 1 << 3), varint(out, seconds);
  if (nanos != 0) varint(out, 2 << 3), varint(out, nanos);
  return out;
}

media::PixelFormat layout(int channels) { return channels == 4 ? media::PixelFormat::rgba8 : media::PixelFormat::rgb8; }

const char* formatName(VideoFormat format) {
  switch (format) {
    case VideoFormat::h264:
      return "h264";
    case VideoFormat::av1:
      return "av1";
    case VideoFormat::jpeg:
      return "jpeg";
    case VideoFormat::png:
      return "png";
    case VideoFormat::none:
      break;
  }
  return "";
}

// Lets go of the raw pixels, once encoded.
void release(Outgoing& m) {
  m.payload = std::string();
  m.body = {};
  m.hold.reset();
}

}  // namespace

std::string compressedMessage(bool video, std::uint64_t stamp, std::string_view frameId, std::string_view data,
                              std::string_view format) {
  // Field numbers: CompressedVideo timestamp 1, frame_id 2, data 3, format 4; CompressedImage timestamp 1,
  // data 2, format 3, frame_id 4.
  std::string out;
  out.reserve(data.size() + frameId.size() + format.size() + 32);
  lengthDelimited(out, 1, timestamp(stamp));
  if (video) lengthDelimited(out, 2, frameId);
  lengthDelimited(out, video ? 3 : 2, data);
  lengthDelimited(out, video ? 4 : 3, format);
  if (!video) lengthDelimited(out, 4, frameId);
  return out;
}

// One topic's video: its encoder (remade when the size changes) and the frames it holds.
struct VideoChannels::Stream {
  std::unique_ptr<media::VideoEncoder> encoder;
  std::string frameId;
  VideoFormat format = VideoFormat::h264;
  std::int64_t frames = 0;
  std::uint64_t lastKeyframe = 0;
  bool keyframeAsked = false;
  std::map<std::int64_t, Outgoing> waiting;  // by pts: the frames given to the encoder and not yet out

  // Each packet becomes its frame's message.
  void emit(std::vector<media::EncodedFrame>&& packets, std::vector<Outgoing>& out) {
    for (media::EncodedFrame& packet : packets) {
      const auto found = waiting.find(packet.pts);
      if (found == waiting.end()) throw media::MediaError("the video encoder gave a frame it was not given");
      Outgoing done = std::move(found->second);
      waiting.erase(found);
      done.payload = compressedMessage(true, done.logTime, frameId, packet.data, formatName(format));
      done.keyframe = packet.keyframe;
      out.push_back(std::move(done));
    }
  }

  void open(const RawImage& raw, media::PixelFormat input, const VideoSettings& settings, std::vector<Outgoing>& out) {
    if (encoder) emit(encoder->flush(), out);  // the frames of the old size first
    media::VideoEncoderOptions options;
    options.codec = raw.format == VideoFormat::av1 ? media::VideoCodec::av1 : media::VideoCodec::h264;
    options.width = raw.width;
    options.height = raw.height;
    options.input = input;
    options.keyframeInterval = 100000;  // keyframes come on time, asked for by encode()
    options.quality = settings.videoQuality;
    if (options.codec == media::VideoCodec::av1) options.preset = "10";
    options.threads = settings.threads;
    encoder = std::make_unique<media::VideoEncoder>(options);
    frameId = raw.frameId;
    format = raw.format;
    frames = 0;
  }

  bool keyframeDue(std::uint64_t time, std::chrono::milliseconds interval) const {
    const auto ns = static_cast<std::uint64_t>(std::chrono::nanoseconds(interval).count());
    return frames == 0 || keyframeAsked || time < lastKeyframe || time - lastKeyframe >= ns;
  }
};

VideoChannels::VideoChannels(VideoSettings settings) : settings_(settings) {}
VideoChannels::~VideoChannels() = default;

std::vector<Outgoing> VideoChannels::encode(Outgoing&& m) {
  const RawImage raw = std::move(*m.raw);
  m.raw.reset();
  const std::string_view pixels = m.pixels();
  const media::ImageView view{reinterpret_cast<const std::uint8_t*>(pixels.data()), raw.width, raw.height,
                              layout(raw.channels)};
  std::vector<Outgoing> out;
  if (raw.format == VideoFormat::jpeg || raw.format == VideoFormat::png) {
    const std::string data =
        raw.format == VideoFormat::jpeg ? media::encodeJpeg(view, settings_.jpegQuality) : media::encodePng(view);
    release(m);
    m.payload = compressedMessage(false, m.logTime, raw.frameId, data, formatName(raw.format));
    out.push_back(std::move(m));
    return out;
  }
  auto& slot = streams_[m.topic];
  if (!slot) slot = std::make_unique<Stream>();
  Stream& s = *slot;
  const auto& current = s.encoder ? &s.encoder->options() : nullptr;
  if (!current || current->width != raw.width || current->height != raw.height || current->input != view.format ||
      s.format != raw.format) {
    s.open(raw, view.format, settings_, out);
  }
  const bool keyframe = s.keyframeDue(m.logTime, settings_.keyframeInterval);
  if (keyframe) s.lastKeyframe = m.logTime;
  s.keyframeAsked = false;
  const std::int64_t pts = s.frames++;
  auto packets = s.encoder->encode(view.data, pts, keyframe);
  release(m);
  s.waiting.emplace(pts, std::move(m));
  s.emit(std::move(packets), out);
  return out;
}

void VideoChannels::requestKeyframe(std::string_view topic) {
  const auto found = streams_.find(topic);
  if (found != streams_.end()) found->second->keyframeAsked = true;  // a new stream starts with one anyway
}

std::vector<Outgoing> VideoChannels::finish() {
  std::vector<Outgoing> out;
  for (auto& entry : streams_) {
    if (entry.second->encoder) entry.second->emit(entry.second->encoder->flush(), out);
    entry.second->encoder.reset();
  }
  return out;
}

}  // namespace corvane::record
