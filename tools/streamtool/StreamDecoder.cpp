#include "StreamDecoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "BaselineWrapper.h"

namespace streamtool {

namespace {

struct TjDeleter {
  void operator()(void* handle) const {
    if (handle) tjDestroy(static_cast<tjhandle>(handle));
  }
};

}  // namespace

DecodeResult DecodeStream(const uint8_t* stream, size_t size, int width, int height, const uint8_t* payload,
                          size_t payloadSize, const DecodeOptions& options) {
  DecodeResult result;
  uint8_t table0[64], table1[64];
  if (!framestream::CheckQuantPayload(payload, payloadSize, table0, table1, result.error)) {
    result.error = "quantisation payload: " + result.error;
    return result;
  }
  const size_t strips = framestream::ExpectedStrips(width, height);
  if (strips == 0) {
    result.error = "frame size " + std::to_string(width) + "x" + std::to_string(height) + " is not a frame";
    return result;
  }
  result.check = framestream::CheckStream(stream, size, strips);
  if (!result.check.ok) {
    result.error = result.check.error;
    return result;
  }

  std::unique_ptr<void, TjDeleter> decoder(tjInitDecompress());
  if (!decoder) {
    result.error = "libjpeg-turbo: cannot create a decompressor";
    return result;
  }
  const int alignedWidth = (width + 31) & ~31;
  result.image.width = width;
  result.image.height = height;
  result.image.pixels.assign(static_cast<size_t>(width) * height * 4, 0);
  uint8_t strip[32 * 8 * 4];
  framestream::WrapOptions wrap;
  wrap.includeHuffmanTables = options.includeHuffmanTables;
  const int stripsPerBand = alignedWidth / 32;

  for (size_t i = 0; i < result.check.strips.size(); ++i) {
    const framestream::StripInfo& s = result.check.strips[i];
    const std::vector<uint8_t> file =
        framestream::WrapStripAsJpeg(stream + s.headerOffset + 4, s.codedLength, table0, table1, wrap);
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(decoder.get(), file.data(), file.size(), &w, &h, &subsampling, &colourspace) != 0 ||
        w != 32 || h != 8 ||
        tjDecompress2(decoder.get(), file.data(), file.size(), strip, 32, 32 * 4, 8, TJPF_BGRX, TJFLAG_ACCURATEDCT) !=
            0 ||
        tjGetErrorCode(decoder.get()) == TJERR_WARNING) {
      result.error = "strip " + std::to_string(i) + ", byte " + std::to_string(s.headerOffset) +
                     ": libjpeg-turbo: " + tjGetErrorStr2(decoder.get());
      return result;
    }
    const int x0 = static_cast<int>(i % stripsPerBand) * 32;
    const int y0 = static_cast<int>(i / stripsPerBand) * 8;
    for (int r = 0; r < 8 && y0 + r < height; ++r) {
      const int columns = std::min(32, width - x0);
      if (columns <= 0) break;
      std::memcpy(&result.image.pixels[(static_cast<size_t>(y0 + r) * width + x0) * 4], strip + r * 32 * 4,
                  static_cast<size_t>(columns) * 4);
    }
  }
  result.ok = true;
  return result;
}

double Psnr(const BgrxImage& a, const BgrxImage& b) {
  if (a.width != b.width || a.height != b.height || a.width == 0) return 0;
  double sum = 0;
  const size_t pixels = static_cast<size_t>(a.width) * a.height;
  for (size_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < 3; ++c) {
      const double d = static_cast<double>(a.pixels[4 * i + c]) - b.pixels[4 * i + c];
      sum += d * d;
    }
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  const double mse = sum / (3.0 * pixels);
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace streamtool
