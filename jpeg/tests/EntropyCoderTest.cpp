// Entropy coder: stated bit patterns, and the fast coder against a plain
// coefficient-by-coefficient, bit-by-bit reference on random blocks.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "CustomJpegState.h"
#include "EntropyCoder.h"
#include "JpegTables.h"

namespace jpeg {
namespace {

std::vector<const EncoderKernels*> EveryKernelSet() {
  std::vector<const EncoderKernels*> sets;
  for (KernelSet set : {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2})
    if (IsKernelSetSupported(set)) sets.push_back(&KernelsFor(set));
  return sets;
}

// A coder's state with its own output buffer, as CustomJpeg sets it up.
struct Coder {
  std::unique_ptr<CustomJpegState> state = std::make_unique<CustomJpegState>();
  std::vector<uint8_t> buffer = std::vector<uint8_t>(8192, 0xCC);
  Coder() {
    state->output = buffer.data();
    state->outputLength = 0;
    state->bitBuffer = 0;
    state->bitCount = 0;
  }
  std::vector<uint8_t> Bytes() const { return {buffer.begin(), buffer.begin() + state->outputLength}; }
};

struct alignas(16) Block {
  int16_t v[64] = {};
};

// Reference: T.81 F.1.2 written the long way.
class ReferenceCoder {
 public:
  void Block(const int16_t* natural, int16_t& predictor, const HuffmanTableDef& dc, const HuffmanTableDef& ac) {
    int zz[64];
    for (int i = 0; i < 64; ++i) zz[kNaturalToZigZag[i]] = natural[i];
    const int diff = static_cast<int16_t>(zz[0] - predictor);
    predictor = static_cast<int16_t>(zz[0]);
    const int dcSize = Size(diff);
    Code(dc, dcSize);
    Value(diff, dcSize);
    int run = 0;
    for (int k = 1; k < 64; ++k) {
      if (zz[k] == 0) {
        ++run;
        continue;
      }
      while (run > 15) {
        Code(ac, 0xF0);
        run -= 16;
      }
      const int size = Size(zz[k]);
      Code(ac, run << 4 | size);
      Value(zz[k], size);
      run = 0;
    }
    if (zz[63] == 0) Code(ac, 0x00);
  }
  std::vector<uint8_t> Finish() {
    while (bits_.size() % 8 != 0) bits_.push_back(0);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (int b = 0; b < 8; ++b) byte = static_cast<uint8_t>(byte << 1 | bits_[i + b]);
      out.push_back(byte);
      if (byte == 0xFF) out.push_back(0x00);
    }
    return out;
  }
  std::string BitString() const {
    std::string s;
    for (int b : bits_) s += static_cast<char>('0' + b);
    return s;
  }

 private:
  static int Size(int v) {
    int s = 0;
    for (int a = v < 0 ? -v : v; a != 0; a >>= 1) ++s;
    return s;
  }
  void Code(const HuffmanTableDef& def, int symbol) {
    int code = 0, k = 0;
    for (int length = 1; length <= 16; ++length) {
      for (int i = 0; i < def.bits[length - 1]; ++i, ++k, ++code) {
        if (def.values[k] == symbol) {
          for (int b = length - 1; b >= 0; --b) bits_.push_back(code >> b & 1);
          return;
        }
      }
      code <<= 1;
    }
    ADD_FAILURE() << "symbol " << symbol << " has no code";
  }
  void Value(int v, int size) {
    const int bits = v < 0 ? v - 1 : v;
    for (int b = size - 1; b >= 0; --b) bits_.push_back(bits >> b & 1);
  }
  std::vector<int> bits_;
};

std::string BitsOf(const std::vector<uint8_t>& bytes, size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) s += (bytes[i / 8] >> (7 - i % 8) & 1) ? '1' : '0';
  return s;
}

TEST(CodeTables, EobAndZrlCodesAreTheStandardOnes) {
  const StandardCodeTables& t = GetStandardCodeTables();
  EXPECT_EQ(t.luminanceAc.entry[0x00], (0b1010u << 16) | 4);
  EXPECT_EQ(t.luminanceAc.entry[0xF0], (0b11111111001u << 16) | 11);
  EXPECT_EQ(t.chrominanceAc.entry[0x00], (0b00u << 16) | 2);
  EXPECT_EQ(t.chrominanceAc.entry[0xF0], (0b1111111010u << 16) | 10);
  EXPECT_EQ(t.luminanceDc.entry[11], (0b111111110u << 16) | 9);
  EXPECT_EQ(t.luminanceDc.entry[12], 0u);  // beyond the DC categories
}

TEST(EncodeBlock, UnchangedDcAndZeroAcCodeAsDcZeroAndEob) {
  const StandardCodeTables& t = GetStandardCodeTables();
  Block b;
  {
    Coder c;
    int16_t predictor = 0;
    EncodeBlock(*c.state, b.v, predictor, t.Luminance());
    FlushBits(*c.state);
    EXPECT_EQ(c.Bytes(), (std::vector<uint8_t>{0b00101000}));  // 00 1010, then 0 fill
  }
  {
    Coder c;
    int16_t predictor = 0;
    EncodeBlock(*c.state, b.v, predictor, t.Chrominance());
    FlushBits(*c.state);
    EXPECT_EQ(c.Bytes(), (std::vector<uint8_t>{0x00}));  // 00 00, then 0 fill
  }
}

TEST(EncodeBlock, DcOfMinus1024IsCategory11AndItsFirstByteIsStuffed) {
  Coder c;
  Block b;
  b.v[0] = -1024;
  int16_t predictor = 0;
  EncodeBlock(*c.state, b.v, predictor, GetStandardCodeTables().Luminance());
  FlushBits(*c.state);
  EXPECT_EQ(predictor, -1024);
  const std::vector<uint8_t> bytes = c.Bytes();
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0x00);
  // 111111110 01111111111 1010 (EOB), with the stuffed byte removed.
  std::vector<uint8_t> unstuffed(bytes.begin() + 1, bytes.end());
  unstuffed[0] = bytes[0];
  EXPECT_EQ(BitsOf(unstuffed, 24), "111111110011111111111010");
}

TEST(EncodeBlock, OnlyLastCoefficientNonzeroGivesThreeZrlsAndNoEob) {
  const StandardCodeTables& t = GetStandardCodeTables();
  Block b;
  b.v[63] = 5;  // natural 63 is zig-zag 63
  Coder c;
  int16_t predictor = 0;
  EncodeBlock(*c.state, b.v, predictor, t.Luminance());
  FlushBits(*c.state);
  ReferenceCoder ref;
  int16_t refPredictor = 0;
  ref.Block(b.v, refPredictor, kLuminanceDcDef, kLuminanceAcDef);
  // DC 00, three ZRLs, then symbol 0xE3 and the value bits 101, no EOB.
  const std::string expectedStart =
      "00"
      "11111111001"
      "11111111001"
      "11111111001";
  EXPECT_EQ(ref.BitString().substr(0, expectedStart.size()), expectedStart);
  EXPECT_EQ(ref.BitString().substr(ref.BitString().size() - 3), "101");
  EXPECT_EQ(c.Bytes(), ref.Finish());
}

TEST(EncodeBlock, NonzeroLastCoefficientNeverGetsEob) {
  const StandardCodeTables& t = GetStandardCodeTables();
  Block b;
  b.v[0] = 3;
  b.v[1] = -2;
  b.v[63] = -1;
  Coder c;
  int16_t predictor = 0;
  EncodeBlock(*c.state, b.v, predictor, t.Chrominance());
  ReferenceCoder ref;
  int16_t refPredictor = 0;
  ref.Block(b.v, refPredictor, kChrominanceDcDef, kChrominanceAcDef);
  // The stream ends on the value bit of -1 ("0"), not on an EOB ("00").
  const std::string bits = ref.BitString();
  EXPECT_EQ(bits.back(), '0');
  FlushBits(*c.state);
  EXPECT_EQ(c.Bytes(), ref.Finish());
}

// Every kernel set has its own instance of the coder.
TEST(EncodeBlock, MatchesReferenceCoderOnRandomBlockSequencesWithEveryKernelSet) {
  const StandardCodeTables& t = GetStandardCodeTables();
  for (KernelSet set : {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2}) {
    if (!IsKernelSetSupported(set)) continue;
    const EncoderKernels& kernels = KernelsFor(set);
    SCOPED_TRACE(kernels.name);
    std::mt19937 rng(21);
    for (int round = 0; round < 400; ++round) {
      Coder c;
      ReferenceCoder ref;
      int16_t p[3] = {}, rp[3] = {};
      // Sparse to dense blocks, small to full-range values (DC -1024 .. 1016 as
      // 8-bit samples give, AC up to +-1023), so long zero runs, ZRLs and 0xFF
      // bytes all occur.
      const int density = 1 + round % 64;
      const int range = 1 << (1 + round % 10);  // up to 1024: |AC| <= 1023
      for (int block = 0; block < 12; ++block) {
        Block b;
        b.v[0] = static_cast<int16_t>(static_cast<int>(rng() % 2041) - 1024);
        for (int i = 1; i < 64; ++i)
          if (static_cast<int>(rng() % 64) < density)
            b.v[i] = static_cast<int16_t>(static_cast<int>(rng() % (2 * range - 1)) - (range - 1));
        const int component = block % 3;
        const HuffCodePair pair = component == 0 ? t.Luminance() : t.Chrominance();
        EncodeBlock(*c.state, b.v, p[component], pair, kernels);
        ref.Block(b.v, rp[component], component == 0 ? kLuminanceDcDef : kChrominanceDcDef,
                  component == 0 ? kLuminanceAcDef : kChrominanceAcDef);
      }
      FlushBits(*c.state);
      ASSERT_EQ(c.Bytes(), ref.Finish()) << "round " << round;
      EXPECT_EQ(c.state->bitCount, 0);
    }
  }
}

TEST(EncodeStripBlocks, EqualsTwelveBlockCodesAndDropsOnlyHigherPositions) {
  std::mt19937 rng(5);
  const StandardCodeTables& t = GetStandardCodeTables();
  for (int round = 0; round < 300; ++round) {
    StripBlocks blocks;
    const int density = 1 + round % 64;
    for (auto& block : blocks.block) {
      for (int i = 0; i < 64; ++i) {
        block[i] =
            static_cast<int16_t>(static_cast<int>(rng() % 64) < density ? static_cast<int>(rng() % 2047) - 1023 : 0);
      }
    }
    for (int b = 0; b < 12; ++b) blocks.nonzero[b] = ZigZagNonzeroMask(blocks.block[b]);
    const int lastAc = round % 3 == 0 ? 63 : static_cast<int>(rng() % 64);
    // Reference: zero the dropped positions, then one EncodeBlock per block,
    // the bit writer carried from block to block.
    Coder expected;
    int16_t p[3] = {};
    for (int b = 0; b < 12; ++b) {
      Block copy;
      for (int i = 0; i < 64; ++i) copy.v[i] = kNaturalToZigZag[i] > lastAc ? 0 : blocks.block[b][i];
      EncodeBlock(*expected.state, copy.v, p[b % 3], b % 3 == 0 ? t.Luminance() : t.Chrominance());
    }
    const uint8_t pendingCount = expected.state->bitCount;
    const uint32_t pendingBits = expected.state->bitBuffer;
    FlushBits(*expected.state);
    for (const EncoderKernels* kernels : EveryKernelSet()) {
      Coder got;
      EncodeStripBlocks(*got.state, blocks, lastAc, *kernels);
      ASSERT_EQ(got.state->bitCount, pendingCount) << kernels->name;
      ASSERT_EQ(got.state->bitBuffer, pendingBits) << kernels->name;
      FlushBits(*got.state);
      ASSERT_EQ(got.Bytes(), expected.Bytes()) << kernels->name << ", round " << round;
    }
  }
}

// Values beyond the largest size the tables code (DC differences of 11
// bits, AC values of 10) are coded as the largest value of that size, in
// blocks with low-frequency coefficients only (sized one coefficient at a
// time) and with high-frequency ones (all 64 at once) alike. Full blocks of
// +-1023 also code to long runs of 0xFF bytes.
TEST(EncodeBlock, OutOfRangeValuesAreClampedAlikeInSparseAndDenseBlocks) {
  const struct {
    int16_t value;
    int16_t coded;  // what the reference codes instead
  } cases[] = {{1023, 1023}, {-1023, -1023}, {1024, 1023},  {-1024, -1023},
               {2047, 1023}, {-2048, -1023}, {32767, 1023}, {-32768, -1023}};
  const StandardCodeTables& t = GetStandardCodeTables();
  for (const EncoderKernels* kernels : EveryKernelSet()) {
    for (const auto& c : cases) {
      // The lowest or the highest `count` positions.
      for (int position : {1, 3, 27, -3, -40, -63}) {
        const int count = position < 0 ? -position : position;
        Block b, expected;
        b.v[0] = expected.v[0] = c.value < 0 ? -2047 : 2047;  // DC difference of 11 bits
        for (int i = 1; i <= count; ++i) {
          const int natural = kZigZagToNatural[position < 0 ? 64 - i : i];
          b.v[natural] = c.value;
          expected.v[natural] = c.coded;
        }
        Coder got;
        ReferenceCoder ref;
        int16_t p[2] = {}, rp[2] = {};
        for (int block = 0; block < 2; ++block) {
          EncodeBlock(*got.state, b.v, p[block], block == 0 ? t.Luminance() : t.Chrominance(), *kernels);
          ref.Block(expected.v, rp[block], block == 0 ? kLuminanceDcDef : kChrominanceDcDef,
                    block == 0 ? kLuminanceAcDef : kChrominanceAcDef);
        }
        FlushBits(*got.state);
        EXPECT_EQ(got.Bytes(), ref.Finish()) << kernels->name << ": value " << c.value << ", positions " << position;
      }
    }
  }
}

// A pair of tables that is not one component's standard pair (here DC and
// AC of different components) codes with exactly those two tables.
TEST(EncodeBlock, MixedTablePairsCodeWithTheirOwnTables) {
  const StandardCodeTables& t = GetStandardCodeTables();
  const struct {
    const HuffCodeTable* dc;
    const HuffCodeTable* ac;
    const HuffmanTableDef& dcDef;
    const HuffmanTableDef& acDef;
  } cases[] = {
      {&t.luminanceDc, &t.luminanceAc, kLuminanceDcDef, kLuminanceAcDef},
      {&t.chrominanceDc, &t.luminanceAc, kChrominanceDcDef, kLuminanceAcDef},
      {&t.luminanceDc, &t.chrominanceAc, kLuminanceDcDef, kChrominanceAcDef},
      {&t.chrominanceDc, &t.chrominanceAc, kChrominanceDcDef, kChrominanceAcDef},
  };
  Block b;
  b.v[0] = -700;
  b.v[kZigZagToNatural[1]] = 5;
  b.v[kZigZagToNatural[30]] = -3;
  for (const EncoderKernels* kernels : EveryKernelSet()) {
    for (size_t i = 0; i < std::size(cases); ++i) {
      Coder got;
      ReferenceCoder ref;
      int16_t p = 0, rp = 0;
      EncodeBlock(*got.state, b.v, p, {cases[i].dc, cases[i].ac}, *kernels);
      ref.Block(b.v, rp, cases[i].dcDef, cases[i].acDef);
      FlushBits(*got.state);
      EXPECT_EQ(got.Bytes(), ref.Finish()) << kernels->name << ", pair " << i;
    }
  }
}

// Every 16-bit value, as a DC difference and as an AC coefficient both in
// blocks sized one coefficient at a time and in blocks sized all at once,
// codes as its value clamped to the tables' sizes (the coders look value
// codes up by the value's 16 bits).
TEST(EncodeBlock, EverySixteenBitValueCodesAsItsClampedValueInEverySet) {
  const auto clamp = [](int v, int limit) {
    return static_cast<int16_t>(v < -limit ? -limit : (v > limit ? limit : v));
  };
  const StandardCodeTables& t = GetStandardCodeTables();
  for (const EncoderKernels* kernels : EveryKernelSet()) {
    for (int first = -32768; first < 32768; first += 128) {
      Coder got;
      ReferenceCoder ref;
      for (int v = first; v < first + 128; ++v) {
        // Zig-zag 1 alone, then with 40 (past the last index sized one at a time).
        for (int last : {1, 40}) {
          Block b, expected;
          b.v[0] = static_cast<int16_t>(v);
          expected.v[0] = clamp(v, 2047);
          for (int k : {1, last}) {
            b.v[kZigZagToNatural[k]] = static_cast<int16_t>(v);
            expected.v[kZigZagToNatural[k]] = clamp(v, 1023);
          }
          int16_t p = 0, rp = 0;
          EncodeBlock(*got.state, b.v, p, t.Luminance(), *kernels);
          ref.Block(expected.v, rp, kLuminanceDcDef, kLuminanceAcDef);
        }
      }
      FlushBits(*got.state);
      ASSERT_EQ(got.Bytes(), ref.Finish()) << kernels->name << ": values from " << first;
    }
  }
}

// One block with a DC difference and sparse and dense AC values, coded with
// every kernel set.
std::vector<std::vector<uint8_t>> CodeSampleBlockInEverySet() {
  Block b;
  b.v[0] = -700;
  for (int k : {1, 2, 9, 40}) b.v[kZigZagToNatural[k]] = static_cast<int16_t>(3 * k - 50);
  std::vector<std::vector<uint8_t>> out;
  for (const EncoderKernels* kernels : EveryKernelSet()) {
    for (bool dense : {false, true}) {
      Block coded = b;
      if (!dense) coded.v[kZigZagToNatural[40]] = 0;
      Coder c;
      int16_t p = 0;
      EncodeBlock(*c.state, coded.v, p, GetStandardCodeTables().Luminance(), *kernels);
      FlushBits(*c.state);
      out.push_back(c.Bytes());
    }
  }
  return out;
}

// Coded while this unit's statics are initialised, which may come before
// the coder's own unit initialises its statics.
const std::vector<std::vector<uint8_t>> kCodedBeforeMain = CodeSampleBlockInEverySet();

// An encoder used by another unit's static initialisation codes as it does
// later: the coder builds every table it reads on first use.
TEST(EncodeBlock, CodesAlikeDuringStaticInitialisation) {
  EXPECT_EQ(kCodedBeforeMain, CodeSampleBlockInEverySet());
}

// The coder may store ahead of its code but never beyond the 4 bytes that
// the strip buffer keeps for it.
TEST(EncodeStripBlocks, WritesNoMoreThanFourBytesPastItsCode) {
  std::mt19937 rng(9);
  for (int density : {1, 8, 32, 64}) {
    StripBlocks blocks;
    for (auto& block : blocks.block)
      for (int i = 0; i < 64; ++i)
        block[i] =
            static_cast<int16_t>(static_cast<int>(rng() % 64) < density ? static_cast<int>(rng() % 2047) - 1023 : 0);
    for (int b = 0; b < 12; ++b) blocks.nonzero[b] = ZigZagNonzeroMask(blocks.block[b]);
    for (const EncoderKernels* kernels : EveryKernelSet()) {
      Coder c;
      EncodeStripBlocks(*c.state, blocks, 63, *kernels);
      FlushBits(*c.state);
      const size_t end = static_cast<size_t>(c.state->outputLength);
      for (size_t i = end + 4; i < c.buffer.size(); ++i)
        ASSERT_EQ(c.buffer[i], 0xCC) << kernels->name << ": byte " << i << " of " << end;
    }
  }
}

TEST(BitWriter, FlushOfWholeBytesAddsNothingAndEmptyFlushWritesNothing) {
  Coder c;
  FlushBits(*c.state);
  EXPECT_EQ(c.state->outputLength, 0);
  EmitBits((0xABu << 16) | 8, *c.state);
  EmitBits((0xCDu << 16) | 8, *c.state);
  FlushBits(*c.state);
  EXPECT_EQ(c.Bytes(), (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST(BitWriter, ThirtyTwoBitGroupsAreStuffedAfterEveryFfByte) {
  Coder c;
  for (int i = 0; i < 3; ++i) EmitBits((0xFFFFu << 16) | 16, *c.state);  // 48 one bits
  EmitBits((0x1u << 16) | 1, *c.state);
  FlushBits(*c.state);
  const std::vector<uint8_t> expected = {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0x80};
  EXPECT_EQ(c.Bytes(), expected);
}

TEST(BitWriter, ValueEntriesWriteOnlyTheirLowBits) {
  Coder c;
  // -3 with size 2: bits of (-3 - 1) = ...11100, low two bits 00.
  EmitBits((static_cast<uint32_t>(-4) << 16) | 2, *c.state);
  EmitBits((0x3Fu << 16) | 6, *c.state);
  FlushBits(*c.state);
  EXPECT_EQ(c.Bytes(), (std::vector<uint8_t>{0x3F}));
}

}  // namespace
}  // namespace jpeg
