// The decoders behind corvane.recording's encoded channels: H.264/AV1 video and JPEG/PNG images to numpy
// rgb8 arrays (height x width x 3), decoded without the GIL.
#include <pybind11/numpy.h>

#include <memory>
#include <string_view>
#include <vector>

#include "binding.hpp"
#include "media/image_codec.hpp"
#include "media/video_decoder.hpp"
#include "media_call.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

// Pictures decoded off the GIL, each handed to numpy without a copy.
struct Pictures {
  struct Picture {
    int width = 0, height = 0;
    std::unique_ptr<std::vector<std::uint8_t>> pixels;
  };
  std::vector<Picture> list;

  media::FrameTarget target() {
    return [this](int width, int height) {
      auto pixels = std::make_unique<std::vector<std::uint8_t>>(std::size_t(width) * std::size_t(height) * 3);
      std::uint8_t* out = pixels->data();
      list.push_back({width, height, std::move(pixels)});
      return out;
    };
  }

  static py::array toArray(Picture&& p) {
    auto* pixels = p.pixels.release();
    py::capsule owner(pixels, [](void* v) { delete static_cast<std::vector<std::uint8_t>*>(v); });
    return py::array_t<std::uint8_t>({p.height, p.width, 3}, pixels->data(), owner);
  }

  py::list arrays() {
    py::list out;
    for (Picture& p : list) out.append(toArray(std::move(p)));
    return out;
  }
};

std::string_view bytesOf(const py::buffer& data, py::buffer_info& info) {
  info = data.request();
  return {static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size * info.itemsize)};
}

media::VideoCodec codecOf(const std::string& format) {
  if (format == "h264") return media::VideoCodec::h264;
  if (format == "av1") return media::VideoCodec::av1;
  throw py::value_error("video format must be 'h264' or 'av1', not '" + format + "'");
}

}  // namespace

void bindMedia(py::module_& module) {
  py::class_<media::VideoDecoder>(module, "_VideoDecoder", "Decodes one video stream's packets, in order.")
      .def(py::init([](const std::string& format) { return std::make_unique<media::VideoDecoder>(codecOf(format)); }),
           "format"_a)
      .def(
          "decode",
          [](media::VideoDecoder& decoder, const py::buffer& data) {
            py::buffer_info info;
            const std::string_view packet = bytesOf(data, info);
            Pictures pictures;
            mediaCall([&] { return decoder.decode(packet, pictures.target()); });
            return pictures.arrays();
          },
          "packet"_a, "The pictures (rgb8 arrays) that the packet completes.");
  module.def(
      "_decode_image",
      [](const py::buffer& data) {
        py::buffer_info info;
        const std::string_view bytes = bytesOf(data, info);
        Pictures pictures;
        mediaCall([&] {
          media::decodeImage(bytes, pictures.target());
          return 0;
        });
        return Pictures::toArray(std::move(pictures.list.front()));
      },
      "data"_a, "A JPEG or PNG image as an rgb8 array.");
  module.def(
      "_is_keyframe",
      [](const py::buffer& data, const std::string& format) {
        py::buffer_info info;
        const std::string_view bytes = bytesOf(data, info);
        return media::isKeyframe(codecOf(format), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      },
      "packet"_a, "video_format"_a = "h264",
      "Whether a packet of `video_format` ('h264' or 'av1') is a point where decoding can start.");
}

}  // namespace corvane::python
