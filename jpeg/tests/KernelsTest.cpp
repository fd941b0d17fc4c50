// Encoder kernels: the stated conversions and divisors, and every vector
// kernel against its scalar reference over random and extreme input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "EncoderKernels.h"
#include "JpegTables.h"

namespace jpeg {
namespace {

struct alignas(16) Block {
  int16_t v[64];
};

struct Ycc {
  int y, cb, cr;
};

Ycc ConvertOne(const EncoderKernels& k, uint8_t r, uint8_t g, uint8_t b) {
  uint8_t px[4] = {b, g, r, 0x5A};
  const uint8_t* in[1] = {px};
  alignas(16) uint8_t y[16], cb[16], cr[16];
  uint8_t* yr[1] = {y};
  uint8_t* cbr[1] = {cb};
  uint8_t* crr[1] = {cr};
  k.convertBgrxToYcc(1, in, yr, cbr, crr, 0, 1);
  return {y[0], cb[0], cr[0]};
}

std::vector<const EncoderKernels*> AllKernelSets() {
  std::vector<const EncoderKernels*> sets;
  for (KernelSet s : {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2})
    if (IsKernelSetSupported(s)) sets.push_back(&KernelsFor(s));
  return sets;
}

TEST(ColourConversion, StatedColoursConvertExactlyOnEveryPath) {
  struct Case {
    uint8_t r, g, b;
    Ycc expected;
  } const cases[] = {
      {0, 0, 0, {0, 128, 128}},
      {255, 255, 255, {255, 128, 128}},
      {0, 0, 255, {29, 255, 107}},
  };
  for (const EncoderKernels* k : AllKernelSets()) {
    for (const Case& c : cases) {
      const Ycc got = ConvertOne(*k, c.r, c.g, c.b);
      EXPECT_EQ(got.y, c.expected.y) << k->name;
      EXPECT_EQ(got.cb, c.expected.cb) << k->name;
      EXPECT_EQ(got.cr, c.expected.cr) << k->name;
    }
  }
}

TEST(ColourConversion, VectorPathMatchesScalarForEveryWidthAndPixel) {
  std::mt19937 rng(7);
  for (int width = 1; width <= 80; ++width) {
    std::vector<uint8_t> pixels(4 * width * 3);
    for (auto& p : pixels) p = static_cast<uint8_t>(rng());
    // Extremes appear in every row.
    std::memset(pixels.data(), 0xFF, 4);
    std::memset(pixels.data() + 4 * width, 0x00, 4);
    const uint8_t* in[3] = {pixels.data(), pixels.data() + 4 * width, pixels.data() + 8 * width};
    for (const EncoderKernels* k : AllKernelSets()) {
      alignas(16) uint8_t planes[2][3][4][96];
      for (int variant = 0; variant < 2; ++variant) {
        const EncoderKernels& kernels = variant == 0 ? KernelsFor(KernelSet::Scalar) : *k;
        std::memset(planes[variant], 0xCC, sizeof planes[variant]);
        uint8_t* y[4] = {planes[variant][0][0], planes[variant][0][1], planes[variant][0][2], planes[variant][0][3]};
        uint8_t* cb[4] = {planes[variant][1][0], planes[variant][1][1], planes[variant][1][2], planes[variant][1][3]};
        uint8_t* cr[4] = {planes[variant][2][0], planes[variant][2][1], planes[variant][2][2], planes[variant][2][3]};
        kernels.convertBgrxToYcc(width, in, y, cb, cr, 1, 3);
      }
      // Identical samples, and row 0 and bytes past the width left untouched.
      ASSERT_EQ(0, std::memcmp(planes[0], planes[1], sizeof planes[0])) << k->name << " width " << width;
      EXPECT_EQ(planes[1][0][0][0], 0xCC);
      EXPECT_EQ(planes[1][0][1][width], 0xCC);
    }
  }
}

TEST(ColourConversion, EveryColourCubeCornerAndRampMatchesTheFormula) {
  // Exhaustive over one channel at a time with the others at the extremes.
  for (int v = 0; v < 256; ++v) {
    for (int other : {0, 255}) {
      const uint8_t o = static_cast<uint8_t>(other), x = static_cast<uint8_t>(v);
      for (auto [r, g, b] : {std::tuple{x, o, o}, std::tuple{o, x, o}, std::tuple{o, o, x}}) {
        const int y = (19595 * r + 38470 * g + 7471 * b + 32768) >> 16;
        const int cb = (-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16;
        const int cr = (32768 * r - 27439 * g - 5329 * b + 8421375) >> 16;
        for (const EncoderKernels* k : AllKernelSets()) {
          const Ycc got = ConvertOne(*k, r, g, b);
          ASSERT_EQ(got.y, y);
          ASSERT_EQ(got.cb, cb);
          ASSERT_EQ(got.cr, cr);
        }
      }
    }
  }
}

// T.81 FDCT times the AAN scale and 8, what the fast DCT approximates.
double ReferenceCoefficient(const Block& samples, int u, int v) {
  const double pi = std::acos(-1.0);
  auto c = [](int k) { return k == 0 ? 1.0 / std::sqrt(2.0) : 1.0; };
  double sum = 0;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      sum += samples.v[8 * y + x] * std::cos((2 * y + 1) * u * pi / 16) * std::cos((2 * x + 1) * v * pi / 16);
  const double f = 0.25 * c(u) * c(v) * sum;
  return 8 * f * kAanScales[8 * u + v] / 16384.0;
}

void ExpectCloseToReference(const Block& samples, const Block& coefficients, const char* what) {
  for (int i = 0; i < 64; ++i) {
    const double ref = ReferenceCoefficient(samples, i / 8, i % 8);
    ASSERT_NEAR(coefficients.v[i], ref, 24 + 0.02 * std::fabs(ref)) << what << " position " << i;
  }
}

TEST(ForwardDct, FlatBlocksGiveOnlyDc) {
  for (const EncoderKernels* k : AllKernelSets()) {
    for (int s : {-128, -1, 0, 1, 127}) {
      Block b;
      for (auto& v : b.v) v = static_cast<int16_t>(s);
      k->forwardDctFast(b.v);
      EXPECT_EQ(b.v[0], 64 * s) << k->name;
      for (int i = 1; i < 64; ++i) ASSERT_EQ(b.v[i], 0) << k->name << " position " << i;
    }
  }
}

TEST(ForwardDct, VectorPathMatchesScalarOnAnyInput) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> sample(-128, 127);
  std::uniform_int_distribution<int> any(-32768, 32767);
  for (int round = 0; round < 20000; ++round) {
    Block a;
    // Half with 8-bit samples, half with arbitrary 16-bit values (wrap-around
    // behaviour must agree too).
    for (auto& v : a.v) v = static_cast<int16_t>(round % 2 ? sample(rng) : any(rng));
    Block b = a;
    ForwardDctFastScalar(a.v);
    for (const EncoderKernels* k : AllKernelSets()) {
      Block c = b;
      k->forwardDctFast(c.v);
      ASSERT_EQ(0, std::memcmp(a.v, c.v, sizeof a.v)) << k->name << " round " << round;
    }
  }
}

TEST(ForwardDct, CoefficientsFollowTheTransformOnRandomBlocks) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> sample(-128, 127);
  for (int round = 0; round < 500; ++round) {
    Block samples;
    for (auto& v : samples.v) v = static_cast<int16_t>(sample(rng));
    for (const EncoderKernels* k : AllKernelSets()) {
      Block c = samples;
      k->forwardDctFast(c.v);
      ExpectCloseToReference(samples, c, k->name);
    }
  }
}

TEST(ForwardDct, HighContrastCellsDoNotOverflowTheSecondPass) {
  // Black and white cells of 4 x 2 pixels aligned to the block drive the
  // second pass's multiplier operands past 8192: the 16-bit high-half product
  // wraps there and flips coefficients.
  for (int phase = 0; phase < 2; ++phase) {
    Block samples;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x)
        samples.v[8 * y + x] = static_cast<int16_t>(((x / 4 + y / 2 + phase) % 2) ? 127 : -128);
    for (const EncoderKernels* k : AllKernelSets()) {
      Block c = samples;
      k->forwardDctFast(c.v);
      ExpectCloseToReference(samples, c, k->name);
    }
  }
}

// The three kernels one after the other, as the strip transform must give.
StripBlocks ComposedTransform(const uint8_t* const* rows, const DivisorTable& lum, const DivisorTable& chrom) {
  alignas(16) uint8_t planes[3][8][32];
  uint8_t* y[8];
  uint8_t* cb[8];
  uint8_t* cr[8];
  for (int r = 0; r < 8; ++r) {
    y[r] = planes[0][r];
    cb[r] = planes[1][r];
    cr[r] = planes[2][r];
  }
  ConvertBgrxToYccScalar(32, rows, y, cb, cr, 0, 8);
  StripBlocks out;
  for (int m = 0; m < 4; ++m) {
    for (int c = 0; c < 3; ++c) {
      int16_t* block = out.block[3 * m + c];
      for (int r = 0; r < 8; ++r)
        for (int x = 0; x < 8; ++x) block[8 * r + x] = static_cast<int16_t>(planes[c][r][8 * m + x] - 128);
      ForwardDctFastScalar(block);
      QuantizeBlockScalar(block, c == 0 ? lum : chrom, block);
      out.nonzero[3 * m + c] = 0;
      for (int k = 0; k < 64; ++k)
        if (block[kZigZagToNatural[k]] != 0) out.nonzero[3 * m + c] |= uint64_t{1} << k;
    }
  }
  return out;
}

TEST(StripTransform, EverySetEqualsConversionDctAndQuantiserInTurn) {
  DivisorTable lum, chrom;
  for (int i = 0; i < 64; ++i) {
    MakeDivisor(DivisorFor(ScaleQuantValue(kLuminanceBaseTable[i]), i), lum, i);
    MakeDivisor(DivisorFor(ScaleQuantValue(kChrominanceBaseTable[i]), i), chrom, i);
  }
  std::mt19937 rng(17);
  std::vector<uint8_t> pixels(8 * 128);
  for (int round = 0; round < 3000; ++round) {
    // Noise, saturated colours, and black-and-white cells of several sizes:
    // the cells drive the DCT's multiplier operands to their extremes.
    const int kind = round % 6;
    const uint32_t colour = static_cast<uint32_t>(rng());
    const int cellW = 1 + static_cast<int>(rng() % 8), cellH = 1 + static_cast<int>(rng() % 8);
    for (int r = 0; r < 8; ++r) {
      for (int x = 0; x < 32; ++x) {
        uint8_t* p = &pixels[128 * r + 4 * x];
        for (int c = 0; c < 4; ++c) {
          switch (kind) {
            case 0:
              p[c] = static_cast<uint8_t>(rng());
              break;
            case 1:
              p[c] = (rng() & 1) ? 255 : 0;
              break;
            case 2:
              p[c] = ((x / cellW + r / cellH) % 2) ? 255 : 0;
              break;
            case 3:
              p[c] = static_cast<uint8_t>(((x / cellW + r / cellH + c) % 2) ? 255 - rng() % 3 : rng() % 3);
              break;
            // One colour with noise in the ignored byte (a flat strip), and
            // the same with a single sample one step off.
            default:
              p[c] = c == 3 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(colour >> (8 * c));
              break;
          }
        }
      }
    }
    if (kind == 5) {
      uint8_t& sample = pixels[128 * (rng() % 8) + 4 * (rng() % 32) + rng() % 3];
      sample = static_cast<uint8_t>(sample == 0 ? 1 : sample - 1);
    }
    const uint8_t* rows[8];
    for (int r = 0; r < 8; ++r) rows[r] = &pixels[128 * r];
    const StripBlocks expected = ComposedTransform(rows, lum, chrom);
    for (const EncoderKernels* k : AllKernelSets()) {
      StripBlocks got;
      std::memset(&got, 0x5A, sizeof got);
      alignas(16) uint8_t planes[768];
      k->transformStrip(rows, lum, chrom, planes, got);
      ASSERT_EQ(0, std::memcmp(&expected, &got, sizeof got)) << k->name << " round " << round;
    }
  }
}

TEST(Divisors, MakeDivisorGivesTheStatedFactors) {
  struct Case {
    uint16_t d, reciprocal, correction, scale;
    int16_t shift;
  } const cases[] = {{8, 32768, 4, 16384, 2}, {12, 43691, 6, 8192, 3}, {16, 32768, 8, 8192, 3}};
  for (const Case& c : cases) {
    DivisorTable t{};
    MakeDivisor(c.d, t, 5);
    EXPECT_EQ(t.reciprocal[5], c.reciprocal) << c.d;
    EXPECT_EQ(t.correction[5], c.correction) << c.d;
    EXPECT_EQ(t.scale[5], c.scale) << c.d;
    EXPECT_EQ(t.shift[5], c.shift) << c.d;
  }
}

TEST(Divisors, CorrectionIsHalfOrHalfPlusOneAndPowersOfTwoHaveNoPlusOne) {
  for (uint32_t d = 3; d <= 1024; ++d) {
    DivisorTable t{};
    MakeDivisor(static_cast<uint16_t>(d), t, 0);
    if ((d & (d - 1)) == 0) {
      EXPECT_EQ(t.correction[0], d / 2) << d;
    } else {
      EXPECT_TRUE(t.correction[0] == d / 2 || t.correction[0] == d / 2 + 1) << d;
    }
  }
}

TEST(Divisors, QualityNinetyTablesGiveDivisorsFrom8To246) {
  int lowest = 1 << 30, highest = 0;
  for (int i = 0; i < 64; ++i) {
    for (const uint8_t* base : {kLuminanceBaseTable, kChrominanceBaseTable}) {
      const int d = DivisorFor(ScaleQuantValue(base[i]), i);
      lowest = std::min(lowest, d);
      highest = std::max(highest, d);
    }
  }
  EXPECT_EQ(lowest, 8);
  EXPECT_EQ(highest, 246);
}

TEST(Quantizer, EqualsRoundedDivisionForEveryTableDivisorAndValue) {
  std::vector<uint16_t> divisors;
  for (int i = 0; i < 64; ++i)
    for (const uint8_t* base : {kLuminanceBaseTable, kChrominanceBaseTable})
      divisors.push_back(DivisorFor(ScaleQuantValue(base[i]), i));
  std::sort(divisors.begin(), divisors.end());
  divisors.erase(std::unique(divisors.begin(), divisors.end()), divisors.end());

  for (const EncoderKernels* k : AllKernelSets()) {
    for (uint16_t d : divisors) {
      DivisorTable t{};
      for (int i = 0; i < 64; ++i) MakeDivisor(d, t, i);
      for (int base = -32768; base <= 32767; base += 64) {
        Block in, out;
        for (int i = 0; i < 64; ++i) in.v[i] = static_cast<int16_t>(base + i);
        k->quantizeBlock(out.v, t, in.v);
        for (int i = 0; i < 64; ++i) {
          const int x = in.v[i];
          if (x == -32768) continue;  // |x| does not exist in int16
          const int magnitude = (std::abs(x) + d / 2) / d;
          ASSERT_EQ(out.v[i], x < 0 ? -magnitude : magnitude) << k->name << " d=" << d << " x=" << x;
        }
      }
    }
  }
}

TEST(Quantizer, VectorPathMatchesScalarInPlaceAndOnExtremes) {
  std::mt19937 rng(5);
  DivisorTable t{};
  for (int i = 0; i < 64; ++i) MakeDivisor(static_cast<uint16_t>(3 + rng() % 400), t, i);
  for (int round = 0; round < 2000; ++round) {
    Block a;
    for (auto& v : a.v) v = static_cast<int16_t>(rng());
    a.v[0] = -32768;
    a.v[1] = 32767;
    a.v[2] = 0;
    Block expected;
    QuantizeBlockScalar(expected.v, t, a.v);
    for (const EncoderKernels* k : AllKernelSets()) {
      Block inPlace = a;
      k->quantizeBlock(inPlace.v, t, inPlace.v);
      ASSERT_EQ(0, std::memcmp(expected.v, inPlace.v, sizeof a.v)) << k->name;
    }
  }
}

TEST(Tables, QualityScalingGivesTheStatedTables) {
  // clang-format off
  const uint8_t luminance[64] = {1,  2,  2,  3,  5,  8,  10, 12, 2,  2,  3,  4,  5,  12, 12, 11,
                                 3,  3,  3,  5,  8,  11, 14, 11, 3,  3,  4,  6,  10, 17, 16, 12,
                                 4,  4,  7,  11, 14, 22, 21, 15, 5,  7,  11, 13, 16, 21, 23, 18,
                                 10, 13, 16, 17, 21, 24, 24, 20, 14, 18, 19, 20, 22, 20, 21, 20};
  // clang-format on
  const uint8_t chrominanceTop[4][8] = {{1, 4, 5, 9, 20, 20, 20, 20},
                                        {4, 4, 5, 13, 20, 20, 20, 20},
                                        {5, 5, 11, 20, 20, 20, 20, 20},
                                        {9, 13, 20, 20, 20, 20, 20, 20}};
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(ScaleQuantValue(kLuminanceBaseTable[i]), luminance[i]) << i;
    const int expected = i < 32 ? chrominanceTop[i / 8][i % 8] : 20;
    EXPECT_EQ(ScaleQuantValue(kChrominanceBaseTable[i]), expected) << i;
  }
}

TEST(Tables, AanScalesAndZigZagMapsAreConsistent) {
  const double pi = std::acos(-1.0);
  auto s = [&](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * pi / 16); };
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(kAanScales[i], std::lround(16384 * s(i / 8) * s(i % 8))) << i;
    EXPECT_EQ(kZigZagToNatural[kNaturalToZigZag[i]], i);
  }
  // The zig-zag walk moves to a neighbouring diagonal cell at every step.
  for (int k = 1; k < 64; ++k) {
    const int a = kZigZagToNatural[k - 1], b = kZigZagToNatural[k];
    EXPECT_LE(std::abs(a / 8 - b / 8), 1) << k;
    EXPECT_LE(std::abs(a % 8 - b % 8), 1) << k;
  }
}

// The strip reuse kernels of every set: a strip differs from its kept copy,
// or from one colour, when any single byte differs (the unused fourth byte
// of a pixel included, first and last row alike), and kept pixels read back
// the same once FinishKeptPixels has run.
TEST(StripReuse, EverySetSeesAnySingleChangedByte) {
  alignas(16) uint8_t kept[1024];
  uint8_t source[8][128 + 3];  // rows at an odd offset: only the kept copy is aligned
  const uint8_t* rows[8];
  for (int r = 0; r < 8; ++r) rows[r] = source[r] + 3;
  const uint32_t pixel = 0x5AC0FFEEu;
  for (const EncoderKernels* k : AllKernelSets()) {
    SCOPED_TRACE(k->name);
    for (int r = 0; r < 8; ++r)
      for (int i = 0; i < 128; i += 4) std::memcpy(source[r] + 3 + i, &pixel, 4);
    EXPECT_TRUE(k->flatStripPixels(rows, pixel));
    std::memset(kept, 0, sizeof kept);
    k->keepStripPixels(rows, kept);
    k->finishKeptPixels();
    EXPECT_TRUE(k->sameStripPixels(rows, kept));
    for (int position : {0, 1, 2, 3, 127, 128, 515, 896, 1020, 1023}) {
      uint8_t& byte = source[position / 128][3 + position % 128];
      const uint8_t was = byte;
      byte ^= 0x01;
      EXPECT_FALSE(k->sameStripPixels(rows, kept)) << position;
      EXPECT_FALSE(k->flatStripPixels(rows, pixel)) << position;
      byte = was;
    }
    EXPECT_TRUE(k->sameStripPixels(rows, kept));
    EXPECT_FALSE(k->flatStripPixels(rows, pixel ^ 0x01000000u));  // only the unused byte differs
  }
}

// Coefficients past the masks are not compared; within them every one is.
TEST(StripReuse, EverySetComparesCoefficientsWhereTheMasksLeaveThem) {
  struct Case {
    uint64_t nonzero;  // mask of block 11 in both strips
    int position;      // natural position that differs
    bool same;
  } const cases[] = {
      {1, 0, false},  {1, 5, true},       {0, 0, false}, {0, 63, true},
      {3, 63, false}, {~0ull, 63, false}, {3, 1, false}, {1ull << 63, 8, false},
  };
  for (const EncoderKernels* k : AllKernelSets()) {
    SCOPED_TRACE(k->name);
    for (const Case& c : cases) {
      StripBlocks a, b;
      std::memset(&a, 0, sizeof a);
      for (int n = 0; n < 12; ++n)
        for (int i = 0; i < 64; ++i) a.block[n][i] = static_cast<int16_t>(n * 64 + i);
      for (uint64_t& m : a.nonzero) m = ~0ull;
      a.nonzero[11] = c.nonzero;
      b = a;
      b.block[11][c.position] ^= 0x100;
      EXPECT_EQ(k->sameStripBlocks(a, b), c.same) << c.nonzero << " " << c.position;
      b = a;
      b.nonzero[0] ^= 2;
      EXPECT_FALSE(k->sameStripBlocks(a, b));
    }
  }
}

// Exactly `bytes` bytes are copied, whatever the length's remainder by 16.
TEST(StripReuse, EverySetCopiesExactlyTheCodedBytes) {
  uint8_t src[80], dst[84];
  for (int i = 0; i < 80; ++i) src[i] = static_cast<uint8_t>(0xFF - i);
  for (const EncoderKernels* k : AllKernelSets()) {
    for (uint32_t bytes = 0; bytes <= 80; bytes += 4) {
      std::memset(dst, 0xCC, sizeof dst);
      k->copyStripData(dst, src, bytes);
      for (uint32_t i = 0; i < sizeof dst; ++i)
        ASSERT_EQ(dst[i], i < bytes ? src[i] : 0xCC) << k->name << " " << bytes << " " << i;
    }
  }
}

}  // namespace
}  // namespace jpeg
