#pragma once

// RAII owners of the libav* objects, and libav's error text.
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "media/media.hpp"

namespace corvane::media::av {

struct CodecDeleter {
  void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct ScaleDeleter {
  void operator()(SwsContext* s) const noexcept { sws_freeContext(s); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Scale = std::unique_ptr<SwsContext, ScaleDeleter>;

inline std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

/// libav logs to stderr at its info level unless the host chose a level: encoders and decoders keep to
/// errors then (a recording library has no business printing statistics).
inline void quietLogs() {
  if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
}

/// Throws MediaError naming `what` when `code` is a libav error.
inline int check(int code, const char* what) {
  if (code < 0) throw MediaError(std::string(what) + ": " + errorText(code));
  return code;
}

template <typename T>
T* checkAllocated(T* object, const char* what) {
  if (object == nullptr) throw MediaError(std::string(what) + ": out of memory");
  return object;
}

}  // namespace corvane::media::av
