// 128-bit vector building blocks of the forward DCT, shared by the SSE2 and
// AVX2 translation units. Everything here has internal linkage: each unit
// compiles its own copy with its own instruction set, so an AVX2 copy can
// never stand in for the SSE2 one on a processor without AVX2.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace jpeg {
namespace {

// The 16-bit lane operations the transform is written in, for 128-bit
// vectors. The AVX2 unit supplies the same names for 256-bit vectors, whose
// two halves then transform two blocks at once.
struct Sse2Lanes {
  using V = __m128i;
  static V Set1(int16_t c) { return _mm_set1_epi16(c); }
  static V Add(V a, V b) { return _mm_add_epi16(a, b); }
  static V Sub(V a, V b) { return _mm_sub_epi16(a, b); }
  static V Or(V a, V b) { return _mm_or_si128(a, b); }
  static V MulHi(V a, V b) { return _mm_mulhi_epi16(a, b); }
  static V MulLo(V a, V b) { return _mm_mullo_epi16(a, b); }
  static V ShiftLeft8(V a) { return _mm_slli_epi16(a, 8); }
  static V ShiftRight8(V a) { return _mm_srli_epi16(a, 8); }
  static V UnpackLo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V UnpackHi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V UnpackLo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
  static V UnpackHi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
  static V UnpackLo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  static V UnpackHi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
};

// M(x, c) = (x * c) >> 8 for every 16-bit x: bits 8..23 of the full 32-bit
// product, (hi16 << 8) | (lo16 >> 8). See the DCT range note in
// KernelsSse2.cpp for why the high-half trick alone is not enough.
template <class L>
inline typename L::V MulConstFull(typename L::V x, int16_t c) {
  const typename L::V lo = L::MulLo(x, L::Set1(c));
  const typename L::V hi = L::MulHi(x, L::Set1(c));
  return L::Or(L::ShiftLeft8(hi), L::ShiftRight8(lo));
}

// M(x, c) for |x| < 16384 and c * 128 < 32768: the high half of
// (x * 2) * (c * 128) is exactly (x * c) >> 8 there. `c128` is c * 128.
template <class L>
inline typename L::V MulConstNear(typename L::V x, int16_t c128) {
  return L::MulHi(L::Add(x, x), L::Set1(c128));
}

// M(x, c) for every 16-bit x when c < 128: the high half of x * (c * 256)
// is exactly (x * c) >> 8, with no doubling of x. `c256` is c * 256.
template <class L>
inline typename L::V MulConstSmall(typename L::V x, int16_t c256) {
  return L::MulHi(x, L::Set1(c256));
}

// Transposes the 8x8 matrix of 16-bit lanes in each 128-bit half.
template <class L>
inline void Transpose8x8(typename L::V* r) {
  using V = typename L::V;
  const V t0 = L::UnpackLo16(r[0], r[1]), t1 = L::UnpackHi16(r[0], r[1]);
  const V t2 = L::UnpackLo16(r[2], r[3]), t3 = L::UnpackHi16(r[2], r[3]);
  const V t4 = L::UnpackLo16(r[4], r[5]), t5 = L::UnpackHi16(r[4], r[5]);
  const V t6 = L::UnpackLo16(r[6], r[7]), t7 = L::UnpackHi16(r[6], r[7]);
  const V u0 = L::UnpackLo32(t0, t2), u1 = L::UnpackHi32(t0, t2);
  const V u2 = L::UnpackLo32(t1, t3), u3 = L::UnpackHi32(t1, t3);
  const V u4 = L::UnpackLo32(t4, t6), u5 = L::UnpackHi32(t4, t6);
  const V u6 = L::UnpackLo32(t5, t7), u7 = L::UnpackHi32(t5, t7);
  r[0] = L::UnpackLo64(u0, u4);
  r[1] = L::UnpackHi64(u0, u4);
  r[2] = L::UnpackLo64(u1, u5);
  r[3] = L::UnpackHi64(u1, u5);
  r[4] = L::UnpackLo64(u2, u6);
  r[5] = L::UnpackHi64(u2, u6);
  r[6] = L::UnpackLo64(u3, u7);
  r[7] = L::UnpackHi64(u3, u7);
}

// The one-dimensional transform applied lane-wise: lane k of d[j] is element
// j of the k-th line being transformed. kNear selects MulConstNear, valid
// only when every multiplier operand stays below 16384 in magnitude.
template <bool kNear, class L>
inline void Dct1d(typename L::V* d) {
  using V = typename L::V;
  const V tmp0 = L::Add(d[0], d[7]), tmp7 = L::Sub(d[0], d[7]);
  const V tmp1 = L::Add(d[1], d[6]), tmp6 = L::Sub(d[1], d[6]);
  const V tmp2 = L::Add(d[2], d[5]), tmp5 = L::Sub(d[2], d[5]);
  const V tmp3 = L::Add(d[3], d[4]), tmp4 = L::Sub(d[3], d[4]);

  const V tmp10 = L::Add(tmp0, tmp3), tmp13 = L::Sub(tmp0, tmp3);
  const V tmp11 = L::Add(tmp1, tmp2), tmp12 = L::Sub(tmp1, tmp2);
  d[0] = L::Add(tmp10, tmp11);
  d[4] = L::Sub(tmp10, tmp11);

  V z1, z2, z3, z4, z5;
  // Odd part: o10, o11, o12 are the reference's second tmp10, tmp11, tmp12.
  const V o10 = L::Add(tmp4, tmp5);
  const V o11 = L::Add(tmp5, tmp6);
  const V o12 = L::Add(tmp6, tmp7);
  if constexpr (kNear) {
    // 334 * 128 does not fit 16 bits: (x * 334) >> 8 = x + ((x * 78) >> 8) exactly.
    z1 = MulConstNear<L>(L::Add(tmp12, tmp13), 181 * 128);
    z5 = MulConstSmall<L>(L::Sub(o10, o12), 98 * 256);
    z2 = L::Add(MulConstNear<L>(o10, 139 * 128), z5);
    z4 = L::Add(L::Add(MulConstSmall<L>(o12, 78 * 256), o12), z5);
    z3 = MulConstNear<L>(o11, 181 * 128);
  } else {
    z1 = MulConstFull<L>(L::Add(tmp12, tmp13), 181);
    z5 = MulConstFull<L>(L::Sub(o10, o12), 98);
    z2 = L::Add(MulConstFull<L>(o10, 139), z5);
    z4 = L::Add(MulConstFull<L>(o12, 334), z5);
    z3 = MulConstFull<L>(o11, 181);
  }
  d[2] = L::Add(tmp13, z1);
  d[6] = L::Sub(tmp13, z1);
  const V z11 = L::Add(tmp7, z3), z13 = L::Sub(tmp7, z3);
  d[5] = L::Add(z13, z2);
  d[3] = L::Sub(z13, z2);
  d[1] = L::Add(z11, z4);
  d[7] = L::Sub(z11, z4);
}

// Both passes: rows, then columns (each pass transposes first).
template <bool kNear, class L = Sse2Lanes>
inline void ForwardDct(typename L::V* d) {
  Transpose8x8<L>(d);
  Dct1d<kNear, L>(d);
  Transpose8x8<L>(d);
  Dct1d<kNear, L>(d);
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
