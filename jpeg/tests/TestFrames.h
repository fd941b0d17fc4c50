// Deterministic BGRX test pictures of the kinds the encoder meets:
// flat, smooth, text-like and noise.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace jpeg::testing {

struct Frame {
  int width = 0;
  int height = 0;
  int pitch = 0;  // bytes
  std::vector<uint8_t> pixels;
  uint8_t* Row(int y) { return pixels.data() + static_cast<size_t>(y) * pitch; }
  const uint8_t* Row(int y) const { return pixels.data() + static_cast<size_t>(y) * pitch; }
  void Set(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = Row(y) + 4 * x;
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 0xFF;
  }
};

// pitch 0 means 4 * width.
Frame MakeFlatFrame(int width, int height, uint8_t r, uint8_t g, uint8_t b, int pitch = 0);
Frame MakeNoiseFrame(int width, int height, uint32_t seed, int pitch = 0);
Frame MakeGradientFrame(int width, int height, int pitch = 0);
Frame MakeTextLikeFrame(int width, int height, uint32_t seed, int pitch = 0);

}  // namespace jpeg::testing
