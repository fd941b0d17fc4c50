// AVX2 kernels: sixteen 16-bit lanes. The only unit compiled with -mavx2;
// KernelDispatch.cpp calls it only after CPUID showed AVX2 and the operating
// system's support for it. Each kernel reproduces its scalar reference in
// KernelsScalar.cpp exactly.
//
// The strip transform works on pairs of blocks: one 256-bit register holds
// the same row of two blocks (the low 128 bits one block, the high 128 bits
// the next), and every shuffle the 8 x 8 transpose needs stays inside its
// 128-bit half, so one instruction sequence transforms two blocks at once.
#include <immintrin.h>

#include "BlockCoder.h"
#include "EncoderKernels.h"
#include "VectorDct.h"

namespace jpeg {

namespace {

inline __m256i Pair256(int16_t low, int16_t high) {
  return _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(low)) | (static_cast<int32_t>(high) << 16));
}

struct Ycc8 {
  __m256i y, cb, cr;  // eight 32-bit results
};

// Eight BGRX pixels -> Y, Cb, Cr sums shifted down by 16, as in the SSE2
// kernel (see its comment for the pair-wise multiply-adds). `yOffset` and
// `chromaOffset` choose plain samples (32768, 8421375) or level-shifted
// ones (32768 - (128 << 16), 32767), which are exact as well.
inline Ycc8 Convert8(__m256i px, __m256i yOffset, __m256i chromaOffset) {
  // Byte shuffles build the 16-bit pairs (R, G), (B, G) and the lone B, R.
  const __m256i rgShuffle = _mm256_setr_epi8(2, -1, 1, -1, 6, -1, 5, -1, 10, -1, 9, -1, 14, -1, 13, -1, 2, -1, 1, -1, 6,
                                             -1, 5, -1, 10, -1, 9, -1, 14, -1, 13, -1);
  const __m256i bgShuffle = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1, 0, -1, 1, -1, 4,
                                             -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
  const __m256i byteMask = _mm256_set1_epi32(0xFF);
  const __m256i rg = _mm256_shuffle_epi8(px, rgShuffle);
  const __m256i bg = _mm256_shuffle_epi8(px, bgShuffle);
  const __m256i b = _mm256_and_si256(px, byteMask);
  const __m256i r = _mm256_and_si256(_mm256_srli_epi32(px, 16), byteMask);
  Ycc8 out;
  out.y = _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(rg, Pair256(19595, 22086)),
                                                              _mm256_madd_epi16(bg, Pair256(7471, 16384))),
                                             yOffset),
                            16);
  out.cb = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(rg, Pair256(-11059, -21709)), _mm256_slli_epi32(b, 15)),
                       chromaOffset),
      16);
  out.cr = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(bg, Pair256(-5329, -27439)), _mm256_slli_epi32(r, 15)),
                       chromaOffset),
      16);
  return out;
}

// Loads pixels {0..3, 8..11} of a 16-pixel group into one register and
// {4..7, 12..15} into the other, so that the 32 -> 16-bit pack (which works
// per 128-bit half) yields pixels 0..7 in the low half and 8..15 in the high.
inline void Load16(const uint8_t* in, __m256i& a, __m256i& b) {
  a = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32)), 1);
  b = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16))),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 48)), 1);
}

// The transform's lane operations (VectorDct.h) on 256-bit vectors: two
// blocks at once, one in each half.
struct Avx2Lanes {
  using V = __m256i;
  static V Set1(int16_t c) { return _mm256_set1_epi16(c); }
  static V Add(V a, V b) { return _mm256_add_epi16(a, b); }
  static V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V MulHi(V a, V b) { return _mm256_mulhi_epi16(a, b); }
  static V UnpackLo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V UnpackHi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V UnpackLo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static V UnpackHi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static V UnpackLo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static V UnpackHi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
};

inline __m256i Quantize16(__m256i x, __m256i correction, __m256i reciprocal, __m256i scale) {
  __m256i a = _mm256_abs_epi16(x);  // -32768 stays 0x8000, i.e. 32768 unsigned
  a = _mm256_add_epi16(a, correction);
  a = _mm256_mulhi_epu16(a, reciprocal);
  a = _mm256_mulhi_epu16(a, scale);
  // Negate where x < 0; where x == 0 the quotient is 0 anyway.
  return _mm256_sign_epi16(a, x);
}

// The same byte shuffle in both 128-bit halves (-1 clears the byte).
inline __m256i Shuffle(int8_t b0, int8_t b1, int8_t b2, int8_t b3, int8_t b4, int8_t b5, int8_t b6, int8_t b7,
                       int8_t b8, int8_t b9, int8_t b10, int8_t b11, int8_t b12, int8_t b13, int8_t b14, int8_t b15) {
  return _mm256_setr_epi8(b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15, b0, b1, b2, b3, b4, b5,
                          b6, b7, b8, b9, b10, b11, b12, b13, b14, b15);
}

// Zig-zag nonzero masks of the two blocks of a pair from their quantised
// rows q[0..7]. The zero flags become bytes, natural index n in byte n % 16
// of flags[n / 16]; byte shuffles gather them into zig-zag order, 16 indices
// per group, for both blocks at once (the tables follow T.81 Figure A.6).
inline void PairNonzeroMasks(const __m256i* q, uint64_t& low, uint64_t& high) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i flags[4];
  for (int s = 0; s < 4; ++s) {
    flags[s] = _mm256_packs_epi16(_mm256_cmpeq_epi16(q[2 * s], zero), _mm256_cmpeq_epi16(q[2 * s + 1], zero));
  }
  const __m256i g0 = _mm256_or_si256(
      _mm256_or_si256(
          _mm256_shuffle_epi8(flags[0], Shuffle(0, 1, 8, -1, 9, 2, 3, 10, -1, -1, -1, -1, -1, 11, 4, 5)),
          _mm256_shuffle_epi8(flags[1], Shuffle(-1, -1, -1, 0, -1, -1, -1, -1, 1, 8, -1, 9, 2, -1, -1, -1))),
      _mm256_shuffle_epi8(flags[2], Shuffle(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1)));
  const __m256i g1 = _mm256_or_si256(
      _mm256_or_si256(
          _mm256_shuffle_epi8(flags[0], Shuffle(12, -1, -1, -1, -1, -1, -1, -1, -1, -1, 13, 6, 7, 14, -1, -1)),
          _mm256_shuffle_epi8(flags[1], Shuffle(-1, 3, 10, -1, -1, -1, -1, -1, 11, 4, -1, -1, -1, -1, 5, 12))),
      _mm256_or_si256(
          _mm256_shuffle_epi8(flags[2], Shuffle(-1, -1, -1, 1, 8, -1, 9, 2, -1, -1, -1, -1, -1, -1, -1, -1)),
          _mm256_shuffle_epi8(flags[3], Shuffle(-1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1))));
  const __m256i g2 = _mm256_or_si256(
      _mm256_or_si256(
          _mm256_shuffle_epi8(flags[0], Shuffle(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 15, -1, -1, -1, -1, -1)),
          _mm256_shuffle_epi8(flags[1], Shuffle(-1, -1, -1, -1, -1, -1, -1, -1, 13, 6, -1, 7, 14, -1, -1, -1))),
      _mm256_or_si256(
          _mm256_shuffle_epi8(flags[2], Shuffle(3, 10, -1, -1, -1, -1, 11, 4, -1, -1, -1, -1, -1, 5, 12, -1)),
          _mm256_shuffle_epi8(flags[3], Shuffle(-1, -1, 1, 8, 9, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1, 3))));
  const __m256i g3 = _mm256_or_si256(
      _mm256_or_si256(
          _mm256_shuffle_epi8(flags[1], Shuffle(-1, -1, -1, -1, -1, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
          _mm256_shuffle_epi8(flags[2], Shuffle(-1, -1, -1, 13, 6, -1, 7, 14, -1, -1, -1, -1, 15, -1, -1, -1))),
      _mm256_shuffle_epi8(flags[3], Shuffle(10, 11, 4, -1, -1, -1, -1, -1, 5, 12, 13, 6, -1, 7, 14, 15)));
  const uint64_t m0 = static_cast<uint32_t>(_mm256_movemask_epi8(g0));
  const uint64_t m1 = static_cast<uint32_t>(_mm256_movemask_epi8(g1));
  const uint64_t m2 = static_cast<uint32_t>(_mm256_movemask_epi8(g2));
  const uint64_t m3 = static_cast<uint32_t>(_mm256_movemask_epi8(g3));
  low = ~((m0 & 0xFFFF) | (m1 & 0xFFFF) << 16 | (m2 & 0xFFFF) << 32 | (m3 & 0xFFFF) << 48);
  high = ~((m0 >> 16) | (m1 >> 16) << 16 | (m2 >> 16) << 32 | (m3 >> 16) << 48);
}

inline __m256i Broadcast(const uint16_t* row) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(row)));
}

}  // namespace

void ConvertBgrxToYccAvx2(int width, const uint8_t* const* inRows, uint8_t* const* yRows, uint8_t* const* cbRows,
                          uint8_t* const* crRows, int outRow, int rows) {
  if (width < 32) {
    ConvertBgrxToYccSse2(width, inRows, yRows, cbRows, crRows, outRow, rows);
    return;
  }
  const __m256i yOffset = _mm256_set1_epi32(32768);
  const __m256i chromaOffset = _mm256_set1_epi32(8421375);
  // packs gives pixels 0..15 and 16..31 in order; packus interleaves the
  // 128-bit halves again, which the 64-bit permute undoes.
  auto pack = [](__m256i p0, __m256i p1, __m256i p2, __m256i p3) {
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(p0, p1), _mm256_packs_epi32(p2, p3));
    return _mm256_permute4x64_epi64(bytes, 0xD8);
  };
  for (int row = 0; row < rows; ++row) {
    const uint8_t* in = inRows[row];
    uint8_t* y = yRows[outRow + row];
    uint8_t* cb = cbRows[outRow + row];
    uint8_t* cr = crRows[outRow + row];
    for (int x = 0; x < width; x += 32) {
      // A last partial group converts the final 32 pixels again.
      if (x + 32 > width) x = width - 32;
      __m256i a, b, c, d;
      Load16(in + 4 * x, a, b);
      Load16(in + 4 * x + 64, c, d);
      const Ycc8 pa = Convert8(a, yOffset, chromaOffset), pb = Convert8(b, yOffset, chromaOffset);
      const Ycc8 pc = Convert8(c, yOffset, chromaOffset), pd = Convert8(d, yOffset, chromaOffset);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), pack(pa.y, pb.y, pc.y, pd.y));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb + x), pack(pa.cb, pb.cb, pc.cb, pd.cb));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(cr + x), pack(pa.cr, pb.cr, pc.cr, pd.cr));
    }
  }
}

void ForwardDctFastAvx2(int16_t* block) {
  // One block fills only eight lanes: the 128-bit sequence (VEX-encoded here)
  // with the full product, exact for any 16-bit input.
  __m128i* rows = reinterpret_cast<__m128i*>(block);
  __m128i d[8];
  for (int i = 0; i < 8; ++i) d[i] = _mm_load_si128(rows + i);
  ForwardDct<false>(d);
  for (int i = 0; i < 8; ++i) _mm_store_si128(rows + i, d[i]);
}

void QuantizeBlockAvx2(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace) {
  for (int i = 0; i < 64; i += 16) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(workspace + i));
    const __m256i q = Quantize16(x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(divisors.correction + i)),
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(divisors.reciprocal + i)),
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(divisors.scale + i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(coef + i), q);
  }
}

void TransformStripAvx2(const uint8_t* const* rows, const DivisorTable& luminance, const DivisorTable& chrominance,
                        uint8_t* /*planes*/, StripBlocks& out) {
  // pairs[2 * c + h][r]: row r of component c for MCUs 2h (low half) and 2h + 1 (high half).
  __m256i pairs[6][8];
  const __m256i yOffset = _mm256_set1_epi32(32768 - (128 << 16));
  const __m256i chromaOffset = _mm256_set1_epi32(32767);
  // Whether every pixel equals the first in blue, green and red, found on
  // the way through the conversion (each pixel is loaded once; the first
  // pixel is taken from the first load).
  __m256i a, b;
  Load16(rows[0], a, b);
  const __m256i first = _mm256_broadcastd_epi32(_mm256_castsi256_si128(a));
  __m256i differs = _mm256_setzero_si256();
  for (int r = 0; r < 8; ++r) {
    for (int h = 0; h < 2; ++h) {
      if (r != 0 || h != 0) Load16(rows[r] + 64 * h, a, b);
      differs = _mm256_or_si256(differs, _mm256_or_si256(_mm256_xor_si256(a, first), _mm256_xor_si256(b, first)));
      const Ycc8 pa = Convert8(a, yOffset, chromaOffset);
      const Ycc8 pb = Convert8(b, yOffset, chromaOffset);
      pairs[h][r] = _mm256_packs_epi32(pa.y, pb.y);
      pairs[2 + h][r] = _mm256_packs_epi32(pa.cb, pb.cb);
      pairs[4 + h][r] = _mm256_packs_epi32(pa.cr, pb.cr);
    }
  }
  if (_mm256_testz_si256(differs, _mm256_set1_epi32(0x00FFFFFF))) {
    // Desktop backgrounds: skip the transform of twelve equal blocks.
    WriteFlatStripBlocks(static_cast<int16_t>(_mm256_extract_epi16(pairs[0][0], 0)),
                         static_cast<int16_t>(_mm256_extract_epi16(pairs[2][0], 0)),
                         static_cast<int16_t>(_mm256_extract_epi16(pairs[4][0], 0)), luminance, chrominance, out);
    return;
  }
  for (int p = 0; p < 6; ++p) {
    const int component = p / 2, h = p % 2;
    const DivisorTable& divisors = component == 0 ? luminance : chrominance;
    __m256i* d = pairs[p];
    // Level-shifted 8-bit content only: every multiplier operand stays
    // below 13384 in magnitude (the range note in KernelsSse2.cpp).
    ForwardDct<true, Avx2Lanes>(d);
    const int lowBlock = 3 * (2 * h) + component, highBlock = 3 * (2 * h + 1) + component;
    int16_t* low = out.block[lowBlock];
    int16_t* high = out.block[highBlock];
    for (int i = 0; i < 8; ++i) {
      d[i] = Quantize16(d[i], Broadcast(divisors.correction + 8 * i), Broadcast(divisors.reciprocal + 8 * i),
                        Broadcast(divisors.scale + 8 * i));
      _mm_store_si128(reinterpret_cast<__m128i*>(low + 8 * i), _mm256_castsi256_si128(d[i]));
      _mm_store_si128(reinterpret_cast<__m128i*>(high + 8 * i), _mm256_extracti128_si256(d[i], 1));
    }
    PairNonzeroMasks(d, out.nonzero[lowBlock], out.nonzero[highBlock]);
  }
}

// The entropy coder, built for processors with BMI2 besides AVX2 (the set
// requires it): in the 64-bit build the bit writer's variable shifts need no
// CL register; the 32-bit build keeps its buffer in a vector register.

namespace {

// Sse2SizesAndBits (KernelsSse2.cpp), sixteen coefficients per step. The
// unpacks to 32 bits and the packs back work within each 128-bit half, so
// they undo each other's order; only the byte sizes need a cross-half move.
__attribute__((noinline)) void Avx2SizesAndBits(const int16_t* natural, block_coder::CodedCoefficients& out) {
  const __m256i limit = _mm256_set1_epi16((1 << block_coder::kMaxAcSize) - 1);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i bias = _mm256_set1_epi16(126);
  for (int i = 0; i < 64; i += 16) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(natural + i));
    const __m256i a = _mm256_min_epu16(_mm256_abs_epi16(v), limit);
    const __m256i sign = _mm256_srai_epi16(v, 15);
    const __m256i exponentLow =
        _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(_mm256_unpacklo_epi16(a, zero))), 23);
    const __m256i exponentHigh =
        _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(_mm256_unpackhi_epi16(a, zero))), 23);
    const __m256i size = _mm256_subs_epu16(_mm256_packs_epi32(exponentLow, exponentHigh), bias);
    __m256i smear = _mm256_or_si256(a, _mm256_srli_epi16(a, 1));
    smear = _mm256_or_si256(smear, _mm256_srli_epi16(smear, 2));
    smear = _mm256_or_si256(smear, _mm256_srli_epi16(smear, 4));
    smear = _mm256_or_si256(smear, _mm256_srli_epi16(smear, 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.bits + i), _mm256_xor_si256(a, _mm256_and_si256(smear, sign)));
    const __m256i sizeBytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(size, size), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.size + i), _mm256_castsi256_si128(sizeBytes));
  }
}

struct Avx2CoderOps {
  using BitBuffer = block_coder::VectorSetBitBuffer;
  static void SizesAndBits(const int16_t* natural, block_coder::CodedCoefficients& out) {
    Avx2SizesAndBits(natural, out);
  }
  // Thirty-two bytes per compare up to the first group with an 0xFF byte.
  static inline uint8_t* SkipWithoutFf(uint8_t* first, const uint8_t* end) {
    const __m256i ones = _mm256_set1_epi8(-1);
    for (; end - first >= 32; first += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
      if (!_mm256_testz_si256(_mm256_cmpeq_epi8(v, ones), ones)) break;
    }
    return first;
  }
  static uint64_t NonzeroMask(const int16_t* natural) { return ZigZagNonzeroMaskSse2(natural); }
};

}  // namespace

void EncodeBlockAvx2(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables) {
  block_coder::EncodeBlock<Avx2CoderOps>(state, block, predictor, tables);
}

void EncodeStripBlocksAvx2(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex) {
  block_coder::EncodeStripBlocks<Avx2CoderOps>(state, blocks, lastAcIndex);
}

}  // namespace jpeg
