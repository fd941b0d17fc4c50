// Fixed tables of the frame encoder: zig-zag order, the quality-90 base
// quantisation tables, the AAN scale factors and the standard Huffman
// tables (BITS and HUFFVAL lists) of ITU-T T.81 Annex K.
// Read-only data; safe to use from any thread.
#pragma once

#include <cstdint>

namespace jpeg {

// Natural position (row * 8 + column) -> zig-zag index (T.81 Figure A.6).
extern const uint8_t kNaturalToZigZag[64];
// Zig-zag index -> natural position (the inverse of kNaturalToZigZag).
extern const uint8_t kZigZagToNatural[64];

// T.81 Tables K.1 and K.2 in natural order, with the DC entries lowered to
// 2 (luminance) and 3 (chrominance).
extern const uint8_t kLuminanceBaseTable[64];
extern const uint8_t kChrominanceBaseTable[64];

// aan[u * 8 + v] = round(16384 * s(u) * s(v)), s(0) = 1, s(k) = sqrt(2) cos(k pi / 16).
extern const int16_t kAanScales[64];

// Quality-90 scaling of one base entry: (v * 20 + 50) / 100, clamped to 1..255.
uint8_t ScaleQuantValue(int baseValue);

// The standard Huffman tables as BITS and HUFFVAL lists (T.81 Tables K.3 to K.6).
struct HuffmanTableDef {
  uint8_t bits[16];       // number of codes of length 1 .. 16
  const uint8_t* values;  // symbols in code order
  int valueCount;
};
extern const HuffmanTableDef kLuminanceDcDef;
extern const HuffmanTableDef kLuminanceAcDef;
extern const HuffmanTableDef kChrominanceDcDef;
extern const HuffmanTableDef kChrominanceAcDef;

}  // namespace jpeg
