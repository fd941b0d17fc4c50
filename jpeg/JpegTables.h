// Fixed tables of the frame encoder: zig-zag order, the quality-90 base
// quantisation tables, the AAN scale factors and the standard Huffman
// tables (BITS and HUFFVAL lists) of ITU-T T.81 Annex K.
// Read-only data; safe to use from any thread.
#pragma once

#include <cstdint>

namespace jpeg {

// clang-format off
// Natural position (row * 8 + column) -> zig-zag index (T.81 Figure A.6).
inline constexpr uint8_t kNaturalToZigZag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28,
    2,  4,  7,  13, 16, 26, 29, 42,
    3,  8,  12, 17, 25, 30, 41, 43,
    9,  11, 18, 24, 31, 40, 44, 53,
    10, 19, 23, 32, 39, 45, 52, 54,
    20, 22, 33, 38, 46, 51, 55, 60,
    21, 34, 37, 47, 50, 56, 59, 61,
    35, 36, 48, 49, 57, 58, 62, 63,
};
// Zig-zag index -> natural position (the inverse of kNaturalToZigZag).
inline constexpr uint8_t kZigZagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10,
    17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34,
    27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36,
    29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46,
    53, 60, 61, 54, 47, 55, 62, 63,
};
// clang-format on

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
