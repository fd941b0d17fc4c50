// Scalar reference kernels. They state the arithmetic every vector kernel
// must reproduce bit for bit; keep them plain.
#include <cstring>

#include "BlockCoder.h"
#include "EncoderKernels.h"
#include "JpegTables.h"

namespace jpeg {

namespace {

inline uint8_t ToY(int r, int g, int b) {
  return static_cast<uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
}
inline uint8_t ToCb(int r, int g, int b) {
  return static_cast<uint8_t>((-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16);
}
inline uint8_t ToCr(int r, int g, int b) {
  return static_cast<uint8_t>((32768 * r - 27439 * g - 5329 * b + 8421375) >> 16);
}

inline int16_t Wrap(int v) { return static_cast<int16_t>(v); }

// (x * c) >> 8 from the full product, wrapped to 16 bits. The classic
// formulation takes the high half of (x * 4) * (c * 64), which loses the
// top bits of x once |x| >= 8192; second-pass values of real content get
// there (see the DCT range note in KernelsSse2.cpp).
inline int16_t MulConst(int16_t x, int c) { return Wrap((static_cast<int32_t>(x) * c) >> 8); }

// One-dimensional AAN transform of 8 values taken with the given stride.
void Dct1d(int16_t* d, int stride) {
  const int16_t d0 = d[0], d1 = d[stride], d2 = d[2 * stride], d3 = d[3 * stride];
  const int16_t d4 = d[4 * stride], d5 = d[5 * stride], d6 = d[6 * stride], d7 = d[7 * stride];

  const int16_t tmp0 = Wrap(d0 + d7), tmp7 = Wrap(d0 - d7);
  const int16_t tmp1 = Wrap(d1 + d6), tmp6 = Wrap(d1 - d6);
  const int16_t tmp2 = Wrap(d2 + d5), tmp5 = Wrap(d2 - d5);
  const int16_t tmp3 = Wrap(d3 + d4), tmp4 = Wrap(d3 - d4);

  // Even part.
  int16_t tmp10 = Wrap(tmp0 + tmp3), tmp13 = Wrap(tmp0 - tmp3);
  int16_t tmp11 = Wrap(tmp1 + tmp2), tmp12 = Wrap(tmp1 - tmp2);
  d[0] = Wrap(tmp10 + tmp11);
  d[4 * stride] = Wrap(tmp10 - tmp11);
  const int16_t z1 = MulConst(Wrap(tmp12 + tmp13), 181);
  d[2 * stride] = Wrap(tmp13 + z1);
  d[6 * stride] = Wrap(tmp13 - z1);

  // Odd part.
  tmp10 = Wrap(tmp4 + tmp5);
  tmp11 = Wrap(tmp5 + tmp6);
  tmp12 = Wrap(tmp6 + tmp7);
  const int16_t z5 = MulConst(Wrap(tmp10 - tmp12), 98);
  const int16_t z2 = Wrap(MulConst(tmp10, 139) + z5);
  const int16_t z4 = Wrap(MulConst(tmp12, 334) + z5);
  const int16_t z3 = MulConst(tmp11, 181);
  const int16_t z11 = Wrap(tmp7 + z3), z13 = Wrap(tmp7 - z3);
  d[5 * stride] = Wrap(z13 + z2);
  d[3 * stride] = Wrap(z13 - z2);
  d[1 * stride] = Wrap(z11 + z4);
  d[7 * stride] = Wrap(z11 - z4);
}

}  // namespace

void ConvertBgrxToYccScalar(int width, const uint8_t* const* inRows, uint8_t* const* yRows, uint8_t* const* cbRows,
                            uint8_t* const* crRows, int outRow, int rows) {
  for (int row = 0; row < rows; ++row) {
    const uint8_t* in = inRows[row];
    uint8_t* y = yRows[outRow + row];
    uint8_t* cb = cbRows[outRow + row];
    uint8_t* cr = crRows[outRow + row];
    for (int x = 0; x < width; ++x) {
      const int b = in[4 * x], g = in[4 * x + 1], r = in[4 * x + 2];
      y[x] = ToY(r, g, b);
      cb[x] = ToCb(r, g, b);
      cr[x] = ToCr(r, g, b);
    }
  }
}

void ForwardDctFastScalar(int16_t* block) {
  for (int row = 0; row < 8; ++row) Dct1d(block + 8 * row, 1);
  for (int column = 0; column < 8; ++column) Dct1d(block + column, 8);
}

void QuantizeBlockScalar(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace) {
  for (int i = 0; i < 64; ++i) {
    const int16_t x = workspace[i];
    uint32_t a = static_cast<uint16_t>(x < 0 ? -x : x);
    a = (a + divisors.correction[i]) & 0xFFFF;
    a = (a * divisors.reciprocal[i]) >> 16;
    a = (a * divisors.scale[i]) >> 16;
    coef[i] = static_cast<int16_t>(x < 0 ? -static_cast<int32_t>(a) : static_cast<int32_t>(a));
  }
}

void TransformStripScalar(const uint8_t* const* rows, const DivisorTable& luminance, const DivisorTable& chrominance,
                          uint8_t* planes, StripBlocks& out) {
  uint8_t* yRows[8];
  uint8_t* cbRows[8];
  uint8_t* crRows[8];
  for (int r = 0; r < 8; ++r) {
    yRows[r] = planes + 32 * r;
    cbRows[r] = planes + 256 + 32 * r;
    crRows[r] = planes + 512 + 32 * r;
  }
  ConvertBgrxToYccScalar(32, rows, yRows, cbRows, crRows, 0, 8);
  for (int m = 0; m < 4; ++m) {
    for (int c = 0; c < 3; ++c) {
      int16_t* block = out.block[3 * m + c];
      const uint8_t* plane = planes + 256 * c + 8 * m;
      for (int r = 0; r < 8; ++r)
        for (int x = 0; x < 8; ++x) block[8 * r + x] = static_cast<int16_t>(plane[32 * r + x] - 128);
      ForwardDctFastScalar(block);
      QuantizeBlockScalar(block, c == 0 ? luminance : chrominance, block);
      out.nonzero[3 * m + c] = ZigZagNonzeroMaskScalar(block);
    }
  }
}

void WriteFlatStripBlocks(int16_t y, int16_t cb, int16_t cr, const DivisorTable& luminance,
                          const DivisorTable& chrominance, StripBlocks& out) {
  // QuantizeBlockScalar's arithmetic for the DC; zero quantises to zero.
  auto quantizeDc = [](int x, const DivisorTable& d) {
    uint32_t a = static_cast<uint16_t>(x < 0 ? -x : x);
    a = (a + d.correction[0]) & 0xFFFF;
    a = (a * d.reciprocal[0]) >> 16;
    a = (a * d.scale[0]) >> 16;
    return static_cast<int16_t>(x < 0 ? -static_cast<int32_t>(a) : static_cast<int32_t>(a));
  };
  const int16_t dc[3] = {quantizeDc(64 * y, luminance), quantizeDc(64 * cb, chrominance),
                         quantizeDc(64 * cr, chrominance)};
  for (int k = 0; k < 12; ++k) {
    for (int i = 0; i < 64; ++i) out.block[k][i] = 0;  // the compiler vectorises this
    out.block[k][0] = dc[k % 3];
    out.nonzero[k] = dc[k % 3] != 0 ? 1 : 0;
  }
}

void MakeDivisor(uint16_t divisor, DivisorTable& table, int position) {
  const uint32_t d = divisor;
  int bits = 0;
  for (uint32_t v = d; v != 0; v >>= 1) ++bits;
  int r = 15 + bits;
  uint32_t fq = static_cast<uint32_t>((uint64_t{1} << r) / d);
  const uint32_t fr = static_cast<uint32_t>((uint64_t{1} << r) % d);
  uint32_t c = d / 2;
  if (fr == 0) {
    fq /= 2;
    --r;
  } else if (fr <= d / 2) {
    ++c;
  } else {
    ++fq;
  }
  table.reciprocal[position] = static_cast<uint16_t>(fq);
  table.correction[position] = static_cast<uint16_t>(c);
  table.scale[position] = static_cast<uint16_t>(uint64_t{1} << (32 - r));
  table.shift[position] = static_cast<int16_t>(r - 16);
}

uint16_t DivisorFor(int quantValue, int naturalPosition) {
  return static_cast<uint16_t>((quantValue * kAanScales[naturalPosition] + 1024) >> 11);
}

// Strip reuse: the same answers as the vector code, a 32-bit word at a time.

namespace {

inline uint32_t Word(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

}  // namespace

bool SameStripPixelsScalar(const uint8_t* const* rows, const uint8_t* kept) {
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 128; i += 4)
      if (Word(rows[r] + i) != Word(kept + 128 * r + i)) return false;
  return true;
}

bool FlatStripPixelsScalar(const uint8_t* const* rows, uint32_t pixel) {
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 128; i += 4)
      if (Word(rows[r] + i) != pixel) return false;
  return true;
}

void KeepStripPixelsScalar(const uint8_t* const* rows, uint8_t* kept) {
  for (int r = 0; r < 8; ++r) std::memcpy(kept + 128 * r, rows[r], 128);
}

void FinishKeptPixelsScalar() {}  // ordinary stores: nothing to wait for

bool SameStripBlocksScalar(const StripBlocks& a, const StripBlocks& b) {
  for (int k = 0; k < 12; ++k)
    if (a.nonzero[k] != b.nonzero[k]) return false;
  for (int k = 0; k < 12; ++k) {
    // Where a mask holds at most the DC coefficient, the rest are zero in both.
    const int count = a.nonzero[k] <= 1 ? 1 : 64;
    for (int i = 0; i < count; ++i)
      if (a.block[k][i] != b.block[k][i]) return false;
  }
  return true;
}

void CopyStripDataScalar(uint8_t* dst, const uint8_t* src, uint32_t bytes) { std::memcpy(dst, src, bytes); }

uint64_t ZigZagNonzeroMaskScalar(const int16_t* natural) {
  uint64_t nonzero = 0;
  for (int k = 0; k < 64; ++k)
    if (natural[kZigZagToNatural[k]] != 0) nonzero |= uint64_t{1} << k;
  return nonzero;
}

// The entropy coder with plain C++ helpers.

namespace {

struct ScalarCoderOps {
  using BitBuffer = block_coder::IntegerBitBuffer;
  // The value codes of the sparse path for every coefficient (AC values
  // clamped as the coder clamps them).
  __attribute__((noinline)) static void SizesAndBits(const int16_t* natural, block_coder::CodedCoefficients& out) {
    for (int i = 0; i < 64; ++i) {
      const block_coder::AcValueCode& c = block_coder::s_acValueCodes.entry[static_cast<uint16_t>(natural[i])];
      out.size[i] = c.size;
      out.bits[i] = c.bits;
    }
  }
  // The word-wise scan that follows finds the first 0xFF byte.
  static uint8_t* SkipWithoutFf(uint8_t* first, const uint8_t*) { return first; }
  static uint64_t NonzeroMask(const int16_t* natural) { return ZigZagNonzeroMaskScalar(natural); }
};

}  // namespace

void EncodeBlockScalar(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables) {
  block_coder::EncodeBlock<ScalarCoderOps>(state, block, predictor, tables);
}

void EncodeStripBlocksScalar(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex) {
  block_coder::EncodeStripBlocks<ScalarCoderOps>(state, blocks, lastAcIndex);
}

}  // namespace jpeg
