// Per-encoder tables and working storage of the frame encoder. Owned by one
// CustomJpeg and used only on its owner's thread.
#pragma once

#include <cstdint>

#include "EncoderKernels.h"

namespace jpeg {

// What the previous-frame store keeps of one strip besides its pixels and
// code (see CustomJpeg::Encode).
struct KeptStrip {
  enum Mode : uint8_t {
    kProbe,   // only `probe`: the strip changed in its last frame
    kPixels,  // its pixels and code
    kFlat,    // its code, and `pixel` for all 256 pixels
  };
  uint32_t probe[4];  // four of its pixels (all four bytes of each)
  uint32_t pixel;
  uint16_t padded;  // padded length of its kept code
  uint8_t mode;
};

struct alignas(32) CustomJpegState {
  DivisorTable luminanceDivisors;
  DivisorTable chrominanceDivisors;

  // One MCU: samples, then DCT coefficients, then quantised coefficients, in
  // place, and the entropy coder's scratch. Encode works a strip at a time in
  // stripBlocks below instead; these stay for the per-block interfaces.
  alignas(16) int16_t yBlock[64];
  alignas(16) int16_t cbBlock[64];
  alignas(16) int16_t crBlock[64];
  alignas(16) int16_t zigzagBlock[64];

  // Bit writer: coded bytes go to output[outputLength ...].
  uint8_t* output;
  int32_t outputLength;
  uint32_t bitBuffer;  // pending bits, right-aligned, upper bits zero
  uint8_t bitCount;    // 0 .. 31

  // One block's code entries (code << 16 | length); 128 is the most a block
  // can need. The coder writes each entry as it forms it, so this is unused.
  uint32_t pendingSymbols[128];

  uint16_t stripWidth;
  uint16_t stripHeight;

  uint8_t quantTable0[64];  // luminance, zig-zag order
  uint8_t quantTable1[64];  // chrominance, zig-zag order

  uint8_t* yPlane;
  uint8_t* cbPlane;
  uint8_t* crPlane;

  // Edge-extended copies of a strip's 8 pixel rows, used where the frame
  // buffer does not hold the whole aligned strip (see CustomJpeg::Encode).
  alignas(16) uint8_t edgeRows[8][128];

  // The twelve quantised blocks (TransformStripFn) of the current strip and
  // of the one before it, used in turn (see CustomJpeg::Encode).
  StripBlocks stripBlocks[2];
};

}  // namespace jpeg
