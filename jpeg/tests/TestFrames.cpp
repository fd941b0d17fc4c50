#include "TestFrames.h"

namespace jpeg::testing {

namespace {

Frame Blank(int width, int height, int pitch) {
  Frame f;
  f.width = width;
  f.height = height;
  f.pitch = pitch != 0 ? pitch : 4 * width;
  f.pixels.assign(static_cast<size_t>(f.pitch) * height, 0);
  return f;
}

}  // namespace

Frame MakeFlatFrame(int width, int height, uint8_t r, uint8_t g, uint8_t b, int pitch) {
  Frame f = Blank(width, height, pitch);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) f.Set(x, y, r, g, b);
  return f;
}

Frame MakeNoiseFrame(int width, int height, uint32_t seed, int pitch) {
  Frame f = Blank(width, height, pitch);
  std::mt19937 rng(seed);
  for (auto& byte : f.pixels) byte = static_cast<uint8_t>(rng());
  return f;
}

Frame MakeGradientFrame(int width, int height, int pitch) {
  Frame f = Blank(width, height, pitch);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      f.Set(x, y, static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1)),
            static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1)),
            static_cast<uint8_t>((x + y) * 127 / (width + height)));
  return f;
}

Frame MakeTextLikeFrame(int width, int height, uint32_t seed, int pitch) {
  // Dark glyph-like marks on a light page: sharp edges, few colours.
  Frame f = MakeFlatFrame(width, height, 250, 250, 246, pitch);
  std::mt19937 rng(seed);
  for (int line = 4; line + 12 < height; line += 18) {
    for (int x = 8; x + 6 < width; x += 7) {
      if (rng() % 6 == 0) continue;  // word gaps
      const uint32_t glyph = rng();
      for (int gy = 0; gy < 12; ++gy)
        for (int gx = 0; gx < 5; ++gx)
          if (glyph >> ((gy * 5 + gx) % 32) & 1) f.Set(x + gx, line + gy, 20, 24, 32);
    }
  }
  return f;
}

}  // namespace jpeg::testing
