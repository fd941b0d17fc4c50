// SSE2 kernels: eight 16-bit lanes (four 32-bit lanes for the colour sums).
// Each kernel reproduces its scalar reference in KernelsScalar.cpp exactly.
#include <emmintrin.h>

#include "EncoderKernels.h"

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
  out.y = _mm_srli_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(19595, 22086)),
                                  _mm_madd_epi16(bg, Pair(7471, 16384))),
                    _mm_set1_epi32(32768)),
      16);
  const __m128i chromaOffset = _mm_set1_epi32(8421375);
  out.cb = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair(-11059, -21709)),
                                  _mm_slli_epi32(b, 15)),
                    chromaOffset),
      16);
  out.cr = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(bg, Pair(-5329, -27439)),
                                  _mm_slli_epi32(r, 15)),
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

inline __m128i MulConst(__m128i x, __m128i c) {
  const __m128i lo = _mm_mullo_epi16(x, c);
  const __m128i hi = _mm_mulhi_epi16(x, c);
  return _mm_or_si128(_mm_slli_epi16(hi, 8), _mm_srli_epi16(lo, 8));
}

inline void Transpose8x8(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3, __m128i& r4,
                         __m128i& r5, __m128i& r6, __m128i& r7) {
  const __m128i t0 = _mm_unpacklo_epi16(r0, r1), t1 = _mm_unpackhi_epi16(r0, r1);
  const __m128i t2 = _mm_unpacklo_epi16(r2, r3), t3 = _mm_unpackhi_epi16(r2, r3);
  const __m128i t4 = _mm_unpacklo_epi16(r4, r5), t5 = _mm_unpackhi_epi16(r4, r5);
  const __m128i t6 = _mm_unpacklo_epi16(r6, r7), t7 = _mm_unpackhi_epi16(r6, r7);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
  const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
  const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
  const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
  r0 = _mm_unpacklo_epi64(u0, u4);
  r1 = _mm_unpackhi_epi64(u0, u4);
  r2 = _mm_unpacklo_epi64(u1, u5);
  r3 = _mm_unpackhi_epi64(u1, u5);
  r4 = _mm_unpacklo_epi64(u2, u6);
  r5 = _mm_unpackhi_epi64(u2, u6);
  r6 = _mm_unpacklo_epi64(u3, u7);
  r7 = _mm_unpackhi_epi64(u3, u7);
}

// The one-dimensional transform applied lane-wise: lane k of d[j] is element
// j of the k-th line being transformed.
inline void Dct1d(__m128i* d) {
  const __m128i c98 = _mm_set1_epi16(98), c139 = _mm_set1_epi16(139);
  const __m128i c181 = _mm_set1_epi16(181), c334 = _mm_set1_epi16(334);

  const __m128i tmp0 = _mm_add_epi16(d[0], d[7]), tmp7 = _mm_sub_epi16(d[0], d[7]);
  const __m128i tmp1 = _mm_add_epi16(d[1], d[6]), tmp6 = _mm_sub_epi16(d[1], d[6]);
  const __m128i tmp2 = _mm_add_epi16(d[2], d[5]), tmp5 = _mm_sub_epi16(d[2], d[5]);
  const __m128i tmp3 = _mm_add_epi16(d[3], d[4]), tmp4 = _mm_sub_epi16(d[3], d[4]);

  __m128i tmp10 = _mm_add_epi16(tmp0, tmp3), tmp13 = _mm_sub_epi16(tmp0, tmp3);
  __m128i tmp11 = _mm_add_epi16(tmp1, tmp2), tmp12 = _mm_sub_epi16(tmp1, tmp2);
  d[0] = _mm_add_epi16(tmp10, tmp11);
  d[4] = _mm_sub_epi16(tmp10, tmp11);
  const __m128i z1 = MulConst(_mm_add_epi16(tmp12, tmp13), c181);
  d[2] = _mm_add_epi16(tmp13, z1);
  d[6] = _mm_sub_epi16(tmp13, z1);

  tmp10 = _mm_add_epi16(tmp4, tmp5);
  tmp11 = _mm_add_epi16(tmp5, tmp6);
  tmp12 = _mm_add_epi16(tmp6, tmp7);
  const __m128i z5 = MulConst(_mm_sub_epi16(tmp10, tmp12), c98);
  const __m128i z2 = _mm_add_epi16(MulConst(tmp10, c139), z5);
  const __m128i z4 = _mm_add_epi16(MulConst(tmp12, c334), z5);
  const __m128i z3 = MulConst(tmp11, c181);
  const __m128i z11 = _mm_add_epi16(tmp7, z3), z13 = _mm_sub_epi16(tmp7, z3);
  d[5] = _mm_add_epi16(z13, z2);
  d[3] = _mm_sub_epi16(z13, z2);
  d[1] = _mm_add_epi16(z11, z4);
  d[7] = _mm_sub_epi16(z11, z4);
}

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
  // Pass 1 transforms rows: after the transpose, d[j] holds element j of every row.
  Transpose8x8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
  Dct1d(d);
  // d[j] now holds column j of the pass-1 result; transpose back to rows so
  // that pass 2 transforms columns.
  Transpose8x8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
  Dct1d(d);
  for (int i = 0; i < 8; ++i) _mm_store_si128(rows + i, d[i]);
}

void QuantizeBlockSse2(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace) {
  const __m128i* in = reinterpret_cast<const __m128i*>(workspace);
  const __m128i* reciprocal = reinterpret_cast<const __m128i*>(divisors.reciprocal);
  const __m128i* correction = reinterpret_cast<const __m128i*>(divisors.correction);
  const __m128i* scale = reinterpret_cast<const __m128i*>(divisors.scale);
  __m128i* out = reinterpret_cast<__m128i*>(coef);
  for (int i = 0; i < 8; ++i) {
    const __m128i x = _mm_load_si128(in + i);
    const __m128i sign = _mm_srai_epi16(x, 15);
    __m128i a = _mm_sub_epi16(_mm_xor_si128(x, sign), sign);  // |x| as unsigned
    a = _mm_add_epi16(a, _mm_load_si128(correction + i));
    a = _mm_mulhi_epu16(a, _mm_load_si128(reciprocal + i));
    a = _mm_mulhi_epu16(a, _mm_load_si128(scale + i));
    _mm_store_si128(out + i, _mm_sub_epi16(_mm_xor_si128(a, sign), sign));
  }
}

}  // namespace jpeg
