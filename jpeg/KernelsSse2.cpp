// SSE2 kernels: eight 16-bit lanes (four 32-bit lanes for the colour sums).
// Each kernel reproduces its scalar reference in KernelsScalar.cpp exactly.
#include <emmintrin.h>

#include <cstring>

#include "BlockCoder.h"
#include "EncoderKernels.h"
#include "JpegTables.h"
#include "VectorDct.h"

namespace jpeg {

namespace {

// ---------------------------------------------------------------------------
// Colour conversion. A BGRX pixel is one 32-bit lane: B | G << 8 | R << 16.
// The sums are formed exactly in 32 bits with pair-wise multiply-adds, so the
// result equals the scalar formula for every pixel:
//   Y  = (R, G) . (19595, 22086) + (B, G) . (7471, 16384) + 32768     >> 16
//   Cb = (R, G) . (-11059, -21709) + B << 15 + 8421375                 >> 16
//   Cr = (B, G) . (-5329, -27439)  + R << 15 + 8421375                 >> 16
// (38470 G does not fit a signed 16-bit factor, hence 22086 + 16384.)

struct Ycc4 {
  __m128i y, cb, cr;  // four 32-bit results, each 0..255
};

inline __m128i Pair(int16_t low, int16_t high) {
  return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(low)) | (static_cast<int32_t>(high) << 16));
}

inline Ycc4 Convert4(__m128i px) {
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  const __m128i b = _mm_and_si128(px, byteMask);
  const __m128i r = _mm_and_si128(_mm_srli_epi32(px, 16), byteMask);
  const __m128i gHigh = _mm_slli_epi32(_mm_and_si128(px, _mm_set1_epi32(0xFF00)), 8);
  const __m128i rg = _mm_or_si128(r, gHigh);  // R in the low half, G in the high half
  const __m128i bg = _mm_or_si128(b, gHigh);  // B in the low half, G in the high half

  Ycc4 out;
  out.y = _mm_srli_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(19595, 22086)), _mm_madd_epi16(bg, Pair(7471, 16384))),
                    _mm_set1_epi32(32768)),
      16);
  const __m128i chromaOffset = _mm_set1_epi32(8421375);
  out.cb = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(-11059, -21709)), _mm_slli_epi32(b, 15)), chromaOffset), 16);
  out.cr = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(bg, Pair(-5329, -27439)), _mm_slli_epi32(r, 15)), chromaOffset), 16);
  return out;
}

inline __m128i PackBytes(__m128i a, __m128i b, __m128i c, __m128i d) {
  return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}

// Converts 16 pixels starting at `in` into 16 samples of each plane.
template <bool kAligned>
inline void Convert16(const uint8_t* in, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  const Ycc4 p0 = Convert4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  const Ycc4 p1 = Convert4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16)));
  const Ycc4 p2 = Convert4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32)));
  const Ycc4 p3 = Convert4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 48)));
  const __m128i vy = PackBytes(p0.y, p1.y, p2.y, p3.y);
  const __m128i vcb = PackBytes(p0.cb, p1.cb, p2.cb, p3.cb);
  const __m128i vcr = PackBytes(p0.cr, p1.cr, p2.cr, p3.cr);
  if constexpr (kAligned) {
    _mm_store_si128(reinterpret_cast<__m128i*>(y), vy);
    _mm_store_si128(reinterpret_cast<__m128i*>(cb), vcb);
    _mm_store_si128(reinterpret_cast<__m128i*>(cr), vcr);
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y), vy);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cb), vcb);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cr), vcr);
  }
}

// ---------------------------------------------------------------------------
// Forward DCT.
//
// Value ranges (interval arithmetic over the butterfly, 8-bit samples less
// 128, i.e. -128..127): pass 1 results stay within +-1673; in pass 2 every
// sum and difference stays within +-13384 and every output within +-21933.
// No 16-bit sum can overflow, but M's operand reaches 13384, beyond the
// +-8191 that the (x * 4) * (c * 64) high-half trick survives. So M takes
// bits 8..23 of the full 32-bit product: (hi16 << 8) | (lo16 >> 8).
//
// Inside the encoder's strip transform the input is known to be 8-bit
// samples less 128, so every multiplier operand is below 13384 < 16384 in
// magnitude and the cheaper (x * 2) * (c * 128) high half is exact there
// (MulConstNear in VectorDct.h). The per-block kernel below accepts any
// 16-bit input and keeps the full product.

}  // namespace

void ConvertBgrxToYccSse2(int width, const uint8_t* const* inRows, uint8_t* const* yRows, uint8_t* const* cbRows,
                          uint8_t* const* crRows, int outRow, int rows) {
  if (width < 16) {
    ConvertBgrxToYccScalar(width, inRows, yRows, cbRows, crRows, outRow, rows);
    return;
  }
  for (int row = 0; row < rows; ++row) {
    const uint8_t* in = inRows[row];
    uint8_t* y = yRows[outRow + row];
    uint8_t* cb = cbRows[outRow + row];
    uint8_t* cr = crRows[outRow + row];
    int x = 0;
    for (; x + 16 <= width; x += 16) Convert16<true>(in + 4 * x, y + x, cb + x, cr + x);
    if (x < width) {
      // The last partial group: convert the final 16 pixels again.
      const int last = width - 16;
      Convert16<false>(in + 4 * last, y + last, cb + last, cr + last);
    }
  }
}

void ForwardDctFastSse2(int16_t* block) {
  __m128i* rows = reinterpret_cast<__m128i*>(block);
  __m128i d[8];
  for (int i = 0; i < 8; ++i) d[i] = _mm_load_si128(rows + i);
  // Pass 1 transforms rows (after the transpose d[j] holds element j of every
  // row); pass 2 transposes back and transforms columns.
  ForwardDct<false>(d);
  for (int i = 0; i < 8; ++i) _mm_store_si128(rows + i, d[i]);
}

void QuantizeBlockSse2(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace) {
  const __m128i* in = reinterpret_cast<const __m128i*>(workspace);
  const __m128i* reciprocal = reinterpret_cast<const __m128i*>(divisors.reciprocal);
  const __m128i* correction = reinterpret_cast<const __m128i*>(divisors.correction);
  const __m128i* scale = reinterpret_cast<const __m128i*>(divisors.scale);
  __m128i* out = reinterpret_cast<__m128i*>(coef);
  for (int i = 0; i < 8; ++i) {
    _mm_store_si128(out + i, Quantize8(_mm_load_si128(in + i), _mm_load_si128(correction + i),
                                       _mm_load_si128(reciprocal + i), _mm_load_si128(scale + i)));
  }
}

namespace {

// Converts four pixels straight to level-shifted samples (-128 .. 127) in
// 32-bit lanes: Y - 128 = (sum + 32768 - (128 << 16)) >> 16 and, for the
// chroma, (sum + 8421375) >> 16 - 128 = (sum + 32767) >> 16, both exact.
inline Ycc4 Convert4Shifted(__m128i px) {
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  const __m128i b = _mm_and_si128(px, byteMask);
  const __m128i r = _mm_and_si128(_mm_srli_epi32(px, 16), byteMask);
  const __m128i gHigh = _mm_slli_epi32(_mm_and_si128(px, _mm_set1_epi32(0xFF00)), 8);
  const __m128i rg = _mm_or_si128(r, gHigh);
  const __m128i bg = _mm_or_si128(b, gHigh);
  const __m128i half = _mm_set1_epi32(32767);
  Ycc4 out;
  out.y = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(19595, 22086)), _mm_madd_epi16(bg, Pair(7471, 16384))),
                    _mm_set1_epi32(32768 - (128 << 16))),
      16);
  out.cb = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(-11059, -21709)), _mm_slli_epi32(b, 15)), half), 16);
  out.cr = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(bg, Pair(-5329, -27439)), _mm_slli_epi32(r, 15)), half), 16);
  return out;
}

}  // namespace

void TransformStripSse2(const uint8_t* const* rows, const DivisorTable& luminance, const DivisorTable& chrominance,
                        uint8_t* /*planes*/, StripBlocks& out) {
  // Row r of the strip fills row r of the twelve blocks: eight pixels per
  // block row. On the way, find whether every pixel has the first one's
  // blue, green and red (a flat strip needs no transform).
  __m128i pa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[0]));
  const __m128i first = _mm_shuffle_epi32(pa, 0);  // the strip's first pixel
  __m128i differs = _mm_setzero_si128();
  for (int r = 0; r < 8; ++r) {
    const uint8_t* in = rows[r];
    for (int m = 0; m < 4; ++m) {
      if (r != 0 || m != 0) pa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * m));
      const __m128i pb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * m + 16));
      differs = _mm_or_si128(differs, _mm_or_si128(_mm_xor_si128(pa, first), _mm_xor_si128(pb, first)));
      const Ycc4 a = Convert4Shifted(pa);
      const Ycc4 b = Convert4Shifted(pb);
      _mm_store_si128(reinterpret_cast<__m128i*>(out.block[3 * m] + 8 * r), _mm_packs_epi32(a.y, b.y));
      _mm_store_si128(reinterpret_cast<__m128i*>(out.block[3 * m + 1] + 8 * r), _mm_packs_epi32(a.cb, b.cb));
      _mm_store_si128(reinterpret_cast<__m128i*>(out.block[3 * m + 2] + 8 * r), _mm_packs_epi32(a.cr, b.cr));
    }
  }
  differs = _mm_and_si128(differs, _mm_set1_epi32(0x00FFFFFF));
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(differs, _mm_setzero_si128())) == 0xFFFF) {
    WriteFlatStripBlocks(out.block[0][0], out.block[1][0], out.block[2][0], luminance, chrominance, out);
    return;
  }
  for (int k = 0; k < 12; ++k) {
    const DivisorTable& divisors = k % 3 == 0 ? luminance : chrominance;
    __m128i* rowsOut = reinterpret_cast<__m128i*>(out.block[k]);
    __m128i d[8];
    for (int i = 0; i < 8; ++i) d[i] = _mm_load_si128(rowsOut + i);
    ForwardDct<true>(d);
    const __m128i* reciprocal = reinterpret_cast<const __m128i*>(divisors.reciprocal);
    const __m128i* correction = reinterpret_cast<const __m128i*>(divisors.correction);
    const __m128i* scale = reinterpret_cast<const __m128i*>(divisors.scale);
    for (int i = 0; i < 8; ++i) {
      _mm_store_si128(rowsOut + i, Quantize8(d[i], _mm_load_si128(correction + i), _mm_load_si128(reciprocal + i),
                                             _mm_load_si128(scale + i)));
    }
    out.nonzero[k] = ZigZagNonzeroMaskSse2(out.block[k]);
  }
}

namespace {

// Zig-zag positions of the bits of one byte of a natural-order bit mask:
// kZigZagBits[j][m] has bit Z(8j + i) set for every bit i set in m. Built
// by the compiler, so that a coder used by another unit's static
// initialisation finds it complete.
struct ZigZagBitTables {
  uint64_t bits[8][256];
  constexpr ZigZagBitTables() : bits() {
    for (int j = 0; j < 8; ++j)
      for (int m = 0; m < 256; ++m)
        for (int i = 0; i < 8; ++i)
          if (m >> i & 1) bits[j][m] |= uint64_t{1} << kNaturalToZigZag[8 * j + i];
  }
};
constexpr ZigZagBitTables kZigZagBits;

}  // namespace

// The zero tests run on the natural-order block, 16 coefficients per step
// (one vector compare and byte mask per 8); a byte-wise table maps the mask
// to zig-zag order, so the coefficients themselves are never reordered.
uint64_t ZigZagNonzeroMaskSse2(const int16_t* natural) {
  const __m128i zero = _mm_setzero_si128();
  uint64_t nonzero = 0;
  for (int group = 0; group < 4; ++group) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(natural + 16 * group));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(natural + 16 * group + 8));
    const __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    const uint32_t bits = ~static_cast<uint32_t>(_mm_movemask_epi8(eq));
    nonzero |= kZigZagBits.bits[2 * group][bits & 0xFF] | kZigZagBits.bits[2 * group + 1][(bits >> 8) & 0xFF];
  }
  return nonzero;
}

// Strip reuse.

namespace {

// Vector compares rather than memcmp: the 32-bit C library's memcmp goes
// byte by byte.
inline bool SameBlock(const int16_t* a, const int16_t* b) {
  __m128i same = _mm_set1_epi8(-1);
  for (int i = 0; i < 64; i += 8) {
    const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(b + i));
    same = _mm_and_si128(same, _mm_cmpeq_epi16(x, y));
  }
  return _mm_movemask_epi8(same) == 0xFFFF;
}

}  // namespace

// Copies a strip's coded data (a multiple of 4 bytes, usually a few dozen)
// without a C library call per strip, exactly `bytes` long.
void CopyStripDataSse2(uint8_t* dst, const uint8_t* src, uint32_t bytes) {
  uint32_t i = 0;
  for (; i + 16 <= bytes; i += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
  }
  for (; i < bytes; i += 4) std::memcpy(dst + i, src + i, 4);
}

// True when two strips have the same quantised coefficients, so that their
// coded data is the same bytes: a strip's code depends on nothing else (the
// DC predictors start at 0 in every strip, and the re-coding of long strips
// depends only on the coefficients too). Compares only what the masks leave.
bool SameStripBlocksSse2(const StripBlocks& a, const StripBlocks& b) {
  for (int k = 0; k < 12; ++k)
    if (a.nonzero[k] != b.nonzero[k]) return false;
  for (int k = 0; k < 12; ++k) {
    if (a.nonzero[k] <= 1) {
      // At most the DC coefficient is nonzero; the masks are equal.
      if (a.block[k][0] != b.block[k][0]) return false;
    } else if (!SameBlock(a.block[k], b.block[k])) {
      return false;
    }
  }
  return true;
}

// True when the strip's rows hold exactly the pixels kept for it (8 rows of
// 128 bytes at `kept`), or, for FlatStripPixels, when every pixel is `pixel`
// (all four bytes). A changed strip mostly shows it in its first row: one
// test after that row, one after the other seven.
bool SameStripPixelsSse2(const uint8_t* const* rows, const uint8_t* kept) {
  __m128i same = _mm_set1_epi8(-1);
  for (int r = 0; r < 8; ++r) {
    for (int i = 0; i < 128; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + i));
      const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(kept + 128 * r + i));
      same = _mm_and_si128(same, _mm_cmpeq_epi8(x, y));
    }
    if (r == 0 && _mm_movemask_epi8(same) != 0xFFFF) return false;
  }
  return _mm_movemask_epi8(same) == 0xFFFF;
}

bool FlatStripPixelsSse2(const uint8_t* const* rows, uint32_t pixel) {
  const __m128i flat = _mm_set1_epi32(static_cast<int>(pixel));
  __m128i same = _mm_set1_epi8(-1);
  for (int r = 0; r < 8; ++r) {
    for (int i = 0; i < 128; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + i));
      same = _mm_and_si128(same, _mm_cmpeq_epi8(x, flat));
    }
    if (r == 0 && _mm_movemask_epi8(same) != 0xFFFF) return false;
  }
  return _mm_movemask_epi8(same) == 0xFFFF;
}

// Streaming stores: a whole frame's pixels pass through here when every
// strip changed, and the next frame is the first to read them again.
void KeepStripPixelsSse2(const uint8_t* const* rows, uint8_t* kept) {
  for (int r = 0; r < 8; ++r) {
    for (int i = 0; i < 128; i += 16) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(kept + 128 * r + i),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + i)));
    }
  }
}

void FinishKeptPixelsSse2() { _mm_sfence(); }

// The entropy coder's vector helpers.

namespace {

// Eight coefficients per step: the size is the exponent of |v| converted to
// float, less 126 (0 for v = 0); the additional bits are |v| for v > 0 and
// |v| with its low `size` bits inverted (v - 1 in two's complement) for
// v < 0, the inverting mask being |v| with its top bit smeared downwards.
__attribute__((noinline)) void Sse2SizesAndBits(const int16_t* natural, block_coder::CodedCoefficients& out) {
  const __m128i limit = _mm_set1_epi16((1 << block_coder::kMaxAcSize) - 1);
  const __m128i negativeLimit = _mm_set1_epi16(-((1 << block_coder::kMaxAcSize) - 1));
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(126);
  for (int i = 0; i < 64; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(natural + i));
    v = _mm_max_epi16(_mm_min_epi16(v, limit), negativeLimit);
    const __m128i sign = _mm_srai_epi16(v, 15);
    const __m128i a = _mm_sub_epi16(_mm_xor_si128(v, sign), sign);
    const __m128i exponentLow = _mm_srli_epi32(_mm_castps_si128(_mm_cvtepi32_ps(_mm_unpacklo_epi16(a, zero))), 23);
    const __m128i exponentHigh = _mm_srli_epi32(_mm_castps_si128(_mm_cvtepi32_ps(_mm_unpackhi_epi16(a, zero))), 23);
    const __m128i size = _mm_subs_epu16(_mm_packs_epi32(exponentLow, exponentHigh), bias);
    __m128i smear = _mm_or_si128(a, _mm_srli_epi16(a, 1));
    smear = _mm_or_si128(smear, _mm_srli_epi16(smear, 2));
    smear = _mm_or_si128(smear, _mm_srli_epi16(smear, 4));
    smear = _mm_or_si128(smear, _mm_srli_epi16(smear, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.bits + i), _mm_xor_si128(a, _mm_and_si128(smear, sign)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out.size + i), _mm_packus_epi16(size, size));
  }
}

struct Sse2CoderOps {
  using BitBuffer = block_coder::VectorSetBitBuffer;
  static void SizesAndBits(const int16_t* natural, block_coder::CodedCoefficients& out) {
    Sse2SizesAndBits(natural, out);
  }
  // Sixteen bytes per compare up to the first group with an 0xFF byte.
  static inline uint8_t* SkipWithoutFf(uint8_t* first, const uint8_t* end) {
    const __m128i ones = _mm_set1_epi8(-1);
    for (; end - first >= 16; first += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, ones)) != 0) break;
    }
    return first;
  }
  static uint64_t NonzeroMask(const int16_t* natural) { return ZigZagNonzeroMaskSse2(natural); }
};

}  // namespace

void EncodeBlockSse2(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables) {
  block_coder::EncodeBlock<Sse2CoderOps>(state, block, predictor, tables);
}

void EncodeStripBlocksSse2(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex) {
  block_coder::EncodeStripBlocks<Sse2CoderOps>(state, blocks, lastAcIndex);
}

}  // namespace jpeg
