#include "media/mp4_writer.hpp"

#include "media/av_handles.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane::media {

struct Mp4Writer::Impl {
  struct FormatDeleter {
    void operator()(AVFormatContext* f) const noexcept {
      if (f->pb != nullptr) avio_closep(&f->pb);
      avformat_free_context(f);
    }
  };
  std::unique_ptr<AVFormatContext, FormatDeleter> format;
  av::Packet packet{av::checkAllocated(av_packet_alloc(), "video packet")};
  AVStream* stream = nullptr;
  std::int64_t lastTime = -1;
  bool closed = false;
};

Mp4Writer::Mp4Writer(const std::string& path, const VideoEncoder& encoder) : impl_(std::make_unique<Impl>()) {
  const VideoEncoderOptions& o = encoder.options();
  if (!o.globalHeader) throw MediaError("MP4 needs an encoder made with globalHeader");
  AVFormatContext* raw = nullptr;
  av::check(avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()), "MP4 output");
  impl_->format.reset(raw);
  Impl& s = *impl_;
  s.stream = av::checkAllocated(avformat_new_stream(raw, nullptr), "MP4 stream");
  AVCodecParameters& p = *s.stream->codecpar;
  p.codec_type = AVMEDIA_TYPE_VIDEO;
  p.codec_id = o.codec == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_AV1;
  p.width = o.width;
  p.height = o.height;
  p.format = AV_PIX_FMT_YUV420P;
  const std::string extra = encoder.extradata();
  p.extradata = static_cast<std::uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  av::checkAllocated(p.extradata, "MP4 codec configuration");
  std::copy(extra.begin(), extra.end(), p.extradata);
  p.extradata_size = static_cast<int>(extra.size());
  s.stream->time_base = {1, 1000000};
  av::check(avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE), path.c_str());
  av::check(avformat_write_header(raw, nullptr), "MP4 header");
}

Mp4Writer::~Mp4Writer() {
  try {
    close();
  } catch (const MediaError&) {
    // Destructors do not throw; close() reports the failure to a caller who asks.
  }
}

void Mp4Writer::write(const EncodedFrame& frame, std::int64_t timeUs, std::int64_t durationUs) {
  Impl& s = *impl_;
  if (s.closed) throw MediaError("the MP4 file is closed");
  if (timeUs <= s.lastTime) throw MediaError("MP4 frame times must increase");
  s.lastTime = timeUs;
  AVPacket& p = *s.packet;
  av::check(av_new_packet(&p, static_cast<int>(frame.data.size())), "MP4 packet");
  std::copy(frame.data.begin(), frame.data.end(), p.data);
  p.stream_index = s.stream->index;
  // Microseconds into the stream's time base (the muxer may have changed it).
  p.pts = p.dts = av_rescale_q(timeUs, {1, 1000000}, s.stream->time_base);
  p.duration = av_rescale_q(durationUs, {1, 1000000}, s.stream->time_base);
  if (frame.keyframe) p.flags |= AV_PKT_FLAG_KEY;
  const int status = av_interleaved_write_frame(s.format.get(), &p);  // takes the packet's reference
  av_packet_unref(&p);
  av::check(status, "MP4 write");
}

void Mp4Writer::close() {
  Impl& s = *impl_;
  if (s.closed) return;
  s.closed = true;
  av::check(av_write_trailer(s.format.get()), "MP4 trailer");
  av::check(avio_closep(&s.format->pb), "MP4 close");
}

}  // namespace corvane::media
