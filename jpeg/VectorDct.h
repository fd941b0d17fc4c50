// 128-bit vector building blocks of the forward DCT, shared by the SSE2 and
// AVX2 translation units. Everything here has internal linkage: each unit
// compiles its own copy with its own instruction set, so an AVX2 copy can
// never stand in for the SSE2 one on a processor without AVX2.
#pragma once

#include <emmintrin.h>

namespace jpeg {
namespace {

// M(x, c) = (x * c) >> 8 for every 16-bit x: bits 8..23 of the full 32-bit
// product, (hi16 << 8) | (lo16 >> 8). See the DCT range note in
// KernelsSse2.cpp for why the high-half trick alone is not enough.
inline __m128i MulConstFull(__m128i x, __m128i c) {
  const __m128i lo = _mm_mullo_epi16(x, c);
  const __m128i hi = _mm_mulhi_epi16(x, c);
  return _mm_or_si128(_mm_slli_epi16(hi, 8), _mm_srli_epi16(lo, 8));
}

// M(x, c) for |x| < 16384 and c * 128 < 32768: the high half of
// (x * 2) * (c * 128) is exactly (x * c) >> 8 there. `c128` holds c * 128.
inline __m128i MulConstNear(__m128i x, __m128i c128) {
  return _mm_mulhi_epi16(_mm_add_epi16(x, x), c128);
}

inline void Transpose8x8(__m128i* r) {
  const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]), t3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]), t5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]), t7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
  const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
  const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
  const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
  r[0] = _mm_unpacklo_epi64(u0, u4);
  r[1] = _mm_unpackhi_epi64(u0, u4);
  r[2] = _mm_unpacklo_epi64(u1, u5);
  r[3] = _mm_unpackhi_epi64(u1, u5);
  r[4] = _mm_unpacklo_epi64(u2, u6);
  r[5] = _mm_unpackhi_epi64(u2, u6);
  r[6] = _mm_unpacklo_epi64(u3, u7);
  r[7] = _mm_unpackhi_epi64(u3, u7);
}

// The one-dimensional transform applied lane-wise: lane k of d[j] is element
// j of the k-th line being transformed. kNear selects MulConstNear, valid
// only when every multiplier operand stays below 16384 in magnitude.
template <bool kNear>
inline void Dct1d(__m128i* d) {
  const __m128i tmp0 = _mm_add_epi16(d[0], d[7]), tmp7 = _mm_sub_epi16(d[0], d[7]);
  const __m128i tmp1 = _mm_add_epi16(d[1], d[6]), tmp6 = _mm_sub_epi16(d[1], d[6]);
  const __m128i tmp2 = _mm_add_epi16(d[2], d[5]), tmp5 = _mm_sub_epi16(d[2], d[5]);
  const __m128i tmp3 = _mm_add_epi16(d[3], d[4]), tmp4 = _mm_sub_epi16(d[3], d[4]);

  const __m128i tmp10 = _mm_add_epi16(tmp0, tmp3), tmp13 = _mm_sub_epi16(tmp0, tmp3);
  const __m128i tmp11 = _mm_add_epi16(tmp1, tmp2), tmp12 = _mm_sub_epi16(tmp1, tmp2);
  d[0] = _mm_add_epi16(tmp10, tmp11);
  d[4] = _mm_sub_epi16(tmp10, tmp11);

  __m128i z1, z2, z3, z4, z5;
  // Odd part: o10, o11, o12 are the reference's second tmp10, tmp11, tmp12.
  const __m128i o10 = _mm_add_epi16(tmp4, tmp5);
  const __m128i o11 = _mm_add_epi16(tmp5, tmp6);
  const __m128i o12 = _mm_add_epi16(tmp6, tmp7);
  if constexpr (kNear) {
    // 334 * 128 does not fit 16 bits: (x * 334) >> 8 = x + ((x * 78) >> 8) exactly.
    z1 = MulConstNear(_mm_add_epi16(tmp12, tmp13), _mm_set1_epi16(181 * 128));
    z5 = MulConstNear(_mm_sub_epi16(o10, o12), _mm_set1_epi16(98 * 128));
    z2 = _mm_add_epi16(MulConstNear(o10, _mm_set1_epi16(139 * 128)), z5);
    z4 = _mm_add_epi16(_mm_add_epi16(MulConstNear(o12, _mm_set1_epi16(78 * 128)), o12), z5);
    z3 = MulConstNear(o11, _mm_set1_epi16(181 * 128));
  } else {
    z1 = MulConstFull(_mm_add_epi16(tmp12, tmp13), _mm_set1_epi16(181));
    z5 = MulConstFull(_mm_sub_epi16(o10, o12), _mm_set1_epi16(98));
    z2 = _mm_add_epi16(MulConstFull(o10, _mm_set1_epi16(139)), z5);
    z4 = _mm_add_epi16(MulConstFull(o12, _mm_set1_epi16(334)), z5);
    z3 = MulConstFull(o11, _mm_set1_epi16(181));
  }
  d[2] = _mm_add_epi16(tmp13, z1);
  d[6] = _mm_sub_epi16(tmp13, z1);
  const __m128i z11 = _mm_add_epi16(tmp7, z3), z13 = _mm_sub_epi16(tmp7, z3);
  d[5] = _mm_add_epi16(z13, z2);
  d[3] = _mm_sub_epi16(z13, z2);
  d[1] = _mm_add_epi16(z11, z4);
  d[7] = _mm_sub_epi16(z11, z4);
}

// Both passes: rows, then columns (each pass transposes first).
template <bool kNear>
inline void ForwardDct(__m128i* d) {
  Transpose8x8(d);
  Dct1d<kNear>(d);
  Transpose8x8(d);
  Dct1d<kNear>(d);
}

// Quantises eight coefficients with one row of a DivisorTable.
inline __m128i Quantize8(__m128i x, __m128i correction, __m128i reciprocal, __m128i scale) {
  const __m128i sign = _mm_srai_epi16(x, 15);
  __m128i a = _mm_sub_epi16(_mm_xor_si128(x, sign), sign);  // |x| as unsigned
  a = _mm_add_epi16(a, correction);
  a = _mm_mulhi_epu16(a, reciprocal);
  a = _mm_mulhi_epu16(a, scale);
  return _mm_sub_epi16(_mm_xor_si128(a, sign), sign);
}

}  // namespace
}  // namespace jpeg
