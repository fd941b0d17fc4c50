// SSE2 kernels: eight 16-bit lanes (four 32-bit lanes for the colour sums).
// Each kernel reproduces its scalar reference in KernelsScalar.cpp exactly.
#include <emmintrin.h>

#include "EncoderKernels.h"
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
  return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(low)) |
                        (static_cast<int32_t>(high) << 16));
}

inline Ycc4 Convert4(__m128i px) {
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  const __m128i b = _mm_and_si128(px, byteMask);
  const __m128i r = _mm_and_si128(_mm_srli_epi32(px, 16), byteMask);
  const __m128i gHigh = _mm_slli_epi32(_mm_and_si128(px, _mm_set1_epi32(0xFF00)), 8);
  const __m128i rg = _mm_or_si128(r, gHigh);  // R in the low half, G in the high half
  const __m128i bg = _mm_or_si128(b, gHigh);  // B in the low half, G in the high half

  Ycc4 out;
  out.y = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(19595, 22086)),
                                                     _mm_madd_epi16(bg, Pair(7471, 16384))),
                                       _mm_set1_epi32(32768)),
                         16);
  const __m128i chromaOffset = _mm_set1_epi32(8421375);
  out.cb = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(-11059, -21709)), _mm_slli_epi32(b, 15)),
                    chromaOffset),
      16);
  out.cr = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(bg, Pair(-5329, -27439)), _mm_slli_epi32(r, 15)),
                    chromaOffset),
      16);
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

void ConvertBgrxToYccSse2(int width, const uint8_t* const* inRows, uint8_t* const* yRows,
                          uint8_t* const* cbRows, uint8_t* const* crRows, int outRow, int rows) {
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
  out.y = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(19595, 22086)),
                                                     _mm_madd_epi16(bg, Pair(7471, 16384))),
                                       _mm_set1_epi32(32768 - (128 << 16))),
                         16);
  out.cb = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(-11059, -21709)), _mm_slli_epi32(b, 15)),
                    half),
      16);
  out.cr = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(bg, Pair(-5329, -27439)), _mm_slli_epi32(r, 15)),
                    half),
      16);
  return out;
}

}  // namespace

void TransformStripSse2(const uint8_t* const* rows, const DivisorTable& luminance,
                        const DivisorTable& chrominance, uint8_t* /*planes*/, StripBlocks& out) {
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
      differs =
          _mm_or_si128(differs, _mm_or_si128(_mm_xor_si128(pa, first), _mm_xor_si128(pb, first)));
      const Ycc4 a = Convert4Shifted(pa);
      const Ycc4 b = Convert4Shifted(pb);
      _mm_store_si128(reinterpret_cast<__m128i*>(out.block[3 * m] + 8 * r),
                      _mm_packs_epi32(a.y, b.y));
      _mm_store_si128(reinterpret_cast<__m128i*>(out.block[3 * m + 1] + 8 * r),
                      _mm_packs_epi32(a.cb, b.cb));
      _mm_store_si128(reinterpret_cast<__m128i*>(out.block[3 * m + 2] + 8 * r),
                      _mm_packs_epi32(a.cr, b.cr));
    }
  }
  differs = _mm_and_si128(differs, _mm_set1_epi32(0x00FFFFFF));
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(differs, _mm_setzero_si128())) == 0xFFFF) {
    WriteFlatStripBlocks(out.block[0][0], out.block[1][0], out.block[2][0], luminance, chrominance,
                         out);
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
      _mm_store_si128(rowsOut + i,
                      Quantize8(d[i], _mm_load_si128(correction + i),
                                _mm_load_si128(reciprocal + i), _mm_load_si128(scale + i)));
    }
    out.nonzero[k] = ZigZagNonzeroMask(out.block[k]);
  }
}

}  // namespace jpeg
