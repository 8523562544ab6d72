#include "png_image.hpp"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace examples {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// A short rainbow: red (near), yellow, green, cyan, blue (far).
void rainbow(double t, std::uint8_t* out) {
  const double stops[5][3] = {{220, 40, 30}, {240, 200, 40}, {60, 190, 80}, {40, 180, 210}, {40, 60, 200}};
  const double x = std::clamp(t, 0.0, 1.0) * 4;
  const int i = std::min(3, static_cast<int>(x));
  const double f = x - i;
  for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(stops[i][c] + (stops[i + 1][c] - stops[i][c]) * f);
}

}  // namespace

void writeRgbPng(const std::string& path, std::size_t width, std::size_t height, const std::uint8_t* rgb) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw std::runtime_error("cannot open " + path + " for writing");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("libpng could not start");
  }
  if (setjmp(png_jmpbuf(png))) {  // libpng reports its errors by jumping here
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng failed to write " + path);
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (std::size_t row = 0; row < height; ++row) png_write_row(png, rgb + row * width * 3);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
}

std::vector<std::uint8_t> colourDepth(const std::vector<float>& depth) {
  std::vector<float> finite;
  for (const float d : depth) {
    if (std::isfinite(d)) finite.push_back(d);
  }
  std::vector<std::uint8_t> rgb(depth.size() * 3, 0);
  if (finite.empty()) return rgb;
  // Near the horizon depth runs to hundreds of metres: spread the colours over the nearer nine tenths.
  const auto far = finite.begin() + static_cast<long>(finite.size() * 9 / 10);
  std::nth_element(finite.begin(), far, finite.end());
  const double nearest = *std::min_element(finite.begin(), finite.end());
  const double span = *far > nearest ? *far - nearest : 1.0;
  for (std::size_t i = 0; i < depth.size(); ++i) {
    if (std::isfinite(depth[i])) rainbow((depth[i] - nearest) / span, &rgb[i * 3]);
  }
  return rgb;
}

}  // namespace examples
