#include "media/video_encoder.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "media/av_handles.hpp"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

namespace corvane::media {
namespace {

struct Dictionary {
  AVDictionary* entries = nullptr;
  ~Dictionary() { av_dict_free(&entries); }
  void set(const char* key, const std::string& value) { av_dict_set(&entries, key, value.c_str(), 0); }
};

AVPixelFormat avFormat(PixelFormat format) {
  switch (format) {
    case PixelFormat::rgb8:
      return AV_PIX_FMT_RGB24;
    case PixelFormat::rgba8:
      return AV_PIX_FMT_RGBA;
    case PixelFormat::mono8:
      return AV_PIX_FMT_GRAY8;
  }
  return AV_PIX_FMT_NONE;
}

// The codec's private options: low delay, constant quality, keyframes on request.
void codecOptions(const VideoEncoderOptions& o, Dictionary& d) {
  d.set("crf", std::to_string(o.quality));
  d.set("preset", o.preset);
  if (o.codec == VideoCodec::h264) {
    d.set("tune", "zerolatency");  // no lookahead, no frame threads: a packet per frame, at once
    d.set("forced-idr", "1");      // a forced keyframe is an IDR picture, where decoding can start
  } else {
    d.set("svtav1-params", "pred-struct=1");  // low delay: no frames reordered
  }
}

}  // namespace

const char* codecName(VideoCodec codec) noexcept { return codec == VideoCodec::h264 ? "h264" : "av1"; }

std::size_t bytesPerPixel(PixelFormat format) noexcept {
  return format == PixelFormat::rgba8 ? 4 : format == PixelFormat::rgb8 ? 3 : 1;
}

struct VideoEncoder::Impl {
  VideoEncoderOptions options;
  av::Codec context;
  av::Frame frame{av::checkAllocated(av_frame_alloc(), "video frame")};
  av::Packet packet{av::checkAllocated(av_packet_alloc(), "video packet")};
  av::Scale scale;
  // The frame's pixels with room after them: swscale's vector loads read up to a register past a row's end,
  // which past the last row would leave the caller's buffer.
  std::vector<std::uint8_t> padded;
  bool flushed = false;
  std::int64_t sent = 0;  // frames given to this codec context

  explicit Impl(const VideoEncoderOptions& o) : options(o) {
    av::quietLogs();
    if (o.width <= 0 || o.height <= 0 || o.width % 2 != 0 || o.height % 2 != 0) {
      throw MediaError("video frames need an even width and height, not " + std::to_string(o.width) + " x " +
                       std::to_string(o.height));
    }
    const char* name = o.codec == VideoCodec::h264 ? "libx264" : "libsvtav1";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) throw MediaError(std::string("this libavcodec has no ") + name + " encoder");
    context.reset(av::checkAllocated(avcodec_alloc_context3(codec), "video encoder"));
    AVCodecContext& c = *context;
    c.width = o.width;
    c.height = o.height;
    c.pix_fmt = AV_PIX_FMT_YUV420P;
    c.time_base = {1, o.frameRate};
    c.framerate = {o.frameRate, 1};
    c.gop_size = o.keyframeInterval;
    c.max_b_frames = 0;
    c.thread_count = o.threads;
    c.color_range = AVCOL_RANGE_MPEG;
    c.colorspace = AVCOL_SPC_BT470BG;
    if (o.globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Dictionary d;
    codecOptions(o, d);
    av::check(avcodec_open2(&c, codec, &d.entries), name);
    frame->format = c.pix_fmt;
    frame->width = o.width;
    frame->height = o.height;
    av::check(av_frame_get_buffer(frame.get(), 0), "video frame");
    scale.reset(sws_getContext(o.width, o.height, avFormat(o.input), o.width, o.height, c.pix_fmt, SWS_BILINEAR,
                               nullptr, nullptr, nullptr));
    if (!scale) throw MediaError("no colour conversion to YUV 4:2:0 for this pixel format");
  }

  // Takes every packet the codec has ready.
  std::vector<EncodedFrame> drain() const {
    std::vector<EncodedFrame> out;
    for (;;) {
      const int status = avcodec_receive_packet(context.get(), packet.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return out;
      av::check(status, "video encoding");
      out.push_back({std::string(reinterpret_cast<const char*>(packet->data), static_cast<std::size_t>(packet->size)),
                     (packet->flags & AV_PKT_FLAG_KEY) != 0, packet->pts});
      av_packet_unref(packet.get());
    }
  }
};

VideoEncoder::VideoEncoder(const VideoEncoderOptions& options) : impl_(std::make_unique<Impl>(options)) {}

VideoEncoder::~VideoEncoder() {
  // SVT-AV1 waits forever in its teardown for an end of stream it was never sent: an encoder left unflushed
  // (an export that failed midway) is drained here, its packets dropped.
  if (impl_->flushed) return;
  if (avcodec_send_frame(impl_->context.get(), nullptr) < 0) return;
  while (avcodec_receive_packet(impl_->context.get(), impl_->packet.get()) >= 0) av_packet_unref(impl_->packet.get());
}

std::vector<EncodedFrame> VideoEncoder::encode(const std::uint8_t* pixels, std::int64_t pts, bool keyframe) {
  std::vector<EncodedFrame> out;
  // SVT-AV1 ignores keyframes asked for in its low-delay mode: a new codec context (about 10 ms to open)
  // starts with one, after the old one's frames.
  if (keyframe && impl_->options.codec == VideoCodec::av1 && impl_->sent > 0) {
    out = flush();
    impl_ = std::make_unique<Impl>(impl_->options);
  }
  Impl& s = *impl_;
  AVFrame& f = *s.frame;
  av::check(av_frame_make_writable(&f), "video frame");
  const std::size_t rowBytes = static_cast<std::size_t>(s.options.width) * bytesPerPixel(s.options.input);
  const std::size_t bytes = rowBytes * static_cast<std::size_t>(s.options.height);
  constexpr std::size_t kOverRead = 64;
  s.padded.resize(bytes + kOverRead);
  std::memcpy(s.padded.data(), pixels, bytes);
  const uint8_t* const source[] = {s.padded.data()};
  const int stride[] = {static_cast<int>(rowBytes)};
  sws_scale(s.scale.get(), source, stride, 0, s.options.height, f.data, f.linesize);
  f.pts = pts;
  f.pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  av::check(avcodec_send_frame(s.context.get(), &f), "video encoding");
  ++s.sent;
  for (EncodedFrame& packet : s.drain()) out.push_back(std::move(packet));
  return out;
}

std::vector<EncodedFrame> VideoEncoder::flush() {
  impl_->flushed = true;
  av::check(avcodec_send_frame(impl_->context.get(), nullptr), "video encoding");
  return impl_->drain();
}

const VideoEncoderOptions& VideoEncoder::options() const noexcept { return impl_->options; }

std::string VideoEncoder::extradata() const {
  const AVCodecContext& c = *impl_->context;
  return c.extradata == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(c.extradata), static_cast<std::size_t>(c.extradata_size));
}

bool isH264Keyframe(const std::uint8_t* data, std::size_t size) noexcept {
  // NAL units follow 00 00 01 start codes; type 5 is a slice of an IDR picture.
  for (std::size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if ((data[i + 3] & 0x1f) == 5) return true;
      i += 2;
    }
  }
  return false;
}

// OBUs: a header byte (type in bits 6..3, extension flag 0x04, size flag 0x02), an optional extension byte
// and a LEB128 size. The first frame or frame header OBU decides: its header begins show_existing_frame = 0 and
// frame_type = KEY_FRAME (0), the three top bits clear.
bool isAv1Keyframe(const std::uint8_t* data, std::size_t size) noexcept {
  constexpr int kFrameHeader = 3, kFrame = 6;
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t header = data[i++];
    const int type = (header >> 3) & 0x0f;
    if ((header & 0x04) != 0) ++i;
    std::uint64_t length = i < size ? size - i : 0;  // without a size field, the OBU runs to the end
    if ((header & 0x02) != 0) {
      length = 0;
      for (int shift = 0;; shift += 7) {
        if (i >= size || shift > 56) return false;
        const std::uint8_t byte = data[i++];
        length |= std::uint64_t{byte & 0x7fU} << shift;
        if ((byte & 0x80) == 0) break;
      }
    }
    if (type == kFrameHeader || type == kFrame) return length > 0 && i < size && (data[i] & 0xe0) == 0;
    if (i > size || length > size - i) return false;
    i += length;
  }
  return false;
}

bool isKeyframe(VideoCodec codec, const std::uint8_t* data, std::size_t size) noexcept {
  return codec == VideoCodec::av1 ? isAv1Keyframe(data, size) : isH264Keyframe(data, size);
}

}  // namespace corvane::media
