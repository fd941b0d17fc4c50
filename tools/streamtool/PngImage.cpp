#include "PngImage.h"

#include <png.h>

#include <cstdio>
#include <memory>

namespace streamtool {

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

bool ReadPng(const std::string& path, BgrxImage& image, std::string& error) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    error = path + ": " + png.message;
    return false;
  }
  png.format = PNG_FORMAT_BGRA;
  image.width = static_cast<int>(png.width);
  image.height = static_cast<int>(png.height);
  image.pixels.assign(PNG_IMAGE_SIZE(png), 0);
  if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
    error = path + ": " + png.message;
    png_image_free(&png);
    return false;
  }
  return true;
}

bool WritePng(const std::string& path, const BgrxImage& image, std::string& error) {
  // Write opaque RGB: the fourth byte of a BGRX pixel carries nothing.
  std::vector<uint8_t> rgb(static_cast<size_t>(image.width) * image.height * 3);
  for (size_t i = 0, n = static_cast<size_t>(image.width) * image.height; i < n; ++i) {
    rgb[3 * i] = image.pixels[4 * i + 2];
    rgb[3 * i + 1] = image.pixels[4 * i + 1];
    rgb[3 * i + 2] = image.pixels[4 * i];
  }
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr)) {
    error = path + ": " + png.message;
    return false;
  }
  return true;
}

}  // namespace streamtool
