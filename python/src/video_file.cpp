// corvane._corvane._Mp4File: numpy rgb8 frames encoded (H.264 or AV1) into an MP4 file through src/media,
// frame i shown at i / fps. Encoding runs without the GIL.
#include <pybind11/numpy.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "binding.hpp"
#include "media/mp4_writer.hpp"
#include "media_call.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

class Mp4File {
 public:
  Mp4File(const std::string& path, const media::VideoEncoderOptions& options)
      : encoder_(options), writer_(path, encoder_) {}

  // Encodes one frame (height x width x 3 bytes) shown at index / fps; indexes increase.
  void write(const std::uint8_t* pixels, std::int64_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) throw media::MediaError("the MP4 file is closed");
    if (index <= last_) throw media::MediaError("frame indexes must increase");
    last_ = index;
    put(encoder_.encode(pixels, index));
  }

  // Writes the frames the encoder still holds and the file's index.
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    put(encoder_.flush());
    writer_.close();
  }

  const media::VideoEncoderOptions& options() const noexcept { return encoder_.options(); }

  std::uint64_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  void put(const std::vector<media::EncodedFrame>& packets) {
    const std::int64_t fps = encoder_.options().frameRate;
    for (const media::EncodedFrame& packet : packets) {
      // pts counts frames; microseconds rounded to the nearest, well within the loader's 1e-4 s. Each frame
      // lasts to the next one's time, the last one included.
      const std::int64_t time = microseconds(packet.pts, fps);
      writer_.write(packet, time, microseconds(packet.pts + 1, fps) - time);
      bytes_ += packet.data.size();
    }
  }

  static std::int64_t microseconds(std::int64_t frames, std::int64_t fps) {
    return (frames * 2000000 + fps) / (2 * fps);
  }

  media::VideoEncoder encoder_;
  media::Mp4Writer writer_;
  mutable std::mutex mutex_;
  std::int64_t last_ = -1;
  std::uint64_t bytes_ = 0;
  bool closed_ = false;
};

media::VideoEncoderOptions optionsOf(int width, int height, int fps, const std::string& codec, int crf,
                                     const std::string& preset, int keyframeInterval) {
  media::VideoEncoderOptions o;
  if (codec != "h264" && codec != "av1") throw py::value_error("codec must be 'h264' or 'av1', not '" + codec + "'");
  if (fps <= 0 || keyframeInterval <= 0) throw py::value_error("fps and keyframe_interval must be positive");
  o.codec = codec == "h264" ? media::VideoCodec::h264 : media::VideoCodec::av1;
  o.width = width;
  o.height = height;
  o.frameRate = fps;
  o.quality = crf;
  o.preset = preset;
  o.keyframeInterval = keyframeInterval;
  o.globalHeader = true;
  return o;
}

// The frame as C-contiguous bytes of the file's shape; ValueError otherwise.
py::array_t<std::uint8_t, py::array::c_style> pixelsOf(const py::array& frame, const media::VideoEncoderOptions& o) {
  const bool fits = frame.dtype().kind() == 'u' && frame.itemsize() == 1 && frame.ndim() == 3 &&
                    frame.shape(0) == o.height && frame.shape(1) == o.width && frame.shape(2) == 3;
  if (!fits) {
    throw py::value_error("a frame is a uint8 array of shape (" + std::to_string(o.height) + ", " +
                          std::to_string(o.width) + ", 3)");
  }
  return py::array_t<std::uint8_t, py::array::c_style>::ensure(frame);
}

}  // namespace

void bindVideoFile(py::module_& module) {
  py::class_<Mp4File>(module, "_Mp4File", "An MP4 file of rgb8 frames, frame i shown at i / fps.")
      .def(py::init([](const std::string& path, int width, int height, int fps, const std::string& codec, int crf,
                       const std::string& preset, int keyframeInterval) {
             const media::VideoEncoderOptions o = optionsOf(width, height, fps, codec, crf, preset, keyframeInterval);
             return mediaCall([&] { return std::make_unique<Mp4File>(path, o); });
           }),
           "path"_a, "width"_a, "height"_a, "fps"_a, "codec"_a, "crf"_a, "preset"_a, "keyframe_interval"_a)
      .def(
          "write",
          [](Mp4File& file, const py::array& frame, std::int64_t index) {
            const auto pixels = pixelsOf(frame, file.options());
            mediaCall([&] {
              file.write(pixels.data(), index);
              return 0;
            });
          },
          "frame"_a, "index"_a, "Encodes an rgb8 frame (height x width x 3) shown at index / fps.")
      .def(
          "close",
          [](Mp4File& file) {
            mediaCall([&] {
              file.close();
              return 0;
            });
          },
          "Writes the frames still in the encoder and the file's index.")
      .def_property_readonly("size", &Mp4File::size, "Bytes of encoded video written so far.");
}

}  // namespace corvane::python
