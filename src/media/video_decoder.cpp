#include "media/video_decoder.hpp"

#include "media/av_handles.hpp"

namespace corvane::media {

struct VideoDecoder::Impl {
  av::Codec context;
  av::Frame frame{av::checkAllocated(av_frame_alloc(), "video frame")};
  av::Packet packet{av::checkAllocated(av_packet_alloc(), "video packet")};
  av::Scale scale;

  explicit Impl(VideoCodec codecId) {
    av::quietLogs();
    const AVCodec* codec = avcodec_find_decoder(codecId == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_AV1);
    if (codec == nullptr) throw MediaError(std::string("this libavcodec has no ") + codecName(codecId) + " decoder");
    context.reset(av::checkAllocated(avcodec_alloc_context3(codec), "video decoder"));
    context->thread_count = 1;  // frame threads would hold pictures back
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    av::check(avcodec_open2(context.get(), codec, nullptr), "video decoder");
  }

  // Converts each finished picture to rgb8 into the target.
  int drain(const FrameTarget& target) {
    int count = 0;
    for (;;) {
      const int status = avcodec_receive_frame(context.get(), frame.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return count;
      av::check(status, "video decoding");
      const AVFrame& f = *frame;
      scale.reset(sws_getCachedContext(scale.release(), f.width, f.height, static_cast<AVPixelFormat>(f.format),
                                       f.width, f.height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr));
      if (!scale) throw MediaError("no colour conversion to rgb8 for the decoded pictures");
      std::uint8_t* const out[] = {target(f.width, f.height)};
      const int stride[] = {f.width * 3};
      sws_scale(scale.get(), f.data, f.linesize, 0, f.height, out, stride);
      av_frame_unref(frame.get());
      ++count;
    }
  }
};

VideoDecoder::VideoDecoder(VideoCodec codec) : impl_(std::make_unique<Impl>(codec)) {}
VideoDecoder::~VideoDecoder() = default;

int VideoDecoder::decode(std::string_view data, const FrameTarget& target) {
  Impl& s = *impl_;
  // The packet views the caller's bytes; libavcodec copies what it keeps.
  s.packet->data = const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(data.data()));
  s.packet->size = static_cast<int>(data.size());
  const int status = avcodec_send_packet(s.context.get(), s.packet.get());
  s.packet->data = nullptr;
  s.packet->size = 0;
  av::check(status, "video decoding");
  return s.drain(target);
}

int VideoDecoder::flush(const FrameTarget& target) {
  av::check(avcodec_send_packet(impl_->context.get(), nullptr), "video decoding");
  return impl_->drain(target);
}

}  // namespace corvane::media
