// The frame encoder as its owner uses it: stream layout, header bits, end
// padding, the payload, odd sizes and pitches, the output bound, the
// re-coding of strips too long for a strip header, and sequences of frames
// through one encoder (which keeps the frame before).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "CustomJpeg.h"
#include "FrameStream.h"
#include "QuantTablePayload.h"
#include "TestFrames.h"

namespace jpeg {
namespace {

using testing::Frame;

// Encodes into a buffer of exactly MaxEncodedSize() bytes poisoned with 0xCC
// and checks the result is a valid stream for the frame's size.
std::vector<uint8_t> EncodeChecked(CustomJpeg& encoder, const Frame& f, framestream::StreamCheck* checkOut = nullptr) {
  const uint32_t bound = encoder.MaxEncodedSize();
  EXPECT_GT(bound, 128u);
  std::vector<uint8_t> out(bound, 0xCC);
  const uint32_t n = encoder.Encode(f.pixels.data(), f.pitch, out.data());
  EXPECT_GE(n, 128u);
  EXPECT_EQ(n % 128, 0u);
  EXPECT_LT(n, bound);  // the bound keeps the USB write's extra byte
  out.resize(n);
  const framestream::StreamCheck check =
      framestream::CheckStream(out.data(), out.size(), framestream::ExpectedStrips(f.width, f.height));
  EXPECT_TRUE(check.ok) << check.error;
  for (const auto& s : check.strips) EXPECT_LE(s.paddedLength, 1024u);
  if (checkOut) *checkOut = check;
  return out;
}

std::vector<KernelSet> SupportedKernelSets() {
  std::vector<KernelSet> sets;
  for (KernelSet s : {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2})
    if (IsKernelSetSupported(s)) sets.push_back(s);
  return sets;
}

std::vector<uint8_t> EncodeFrame(const Frame& f, KernelSet set = ActiveKernels().set) {
  CustomJpeg encoder;
  EXPECT_TRUE(encoder.SetKernelSet(set));
  EXPECT_TRUE(encoder.Init(f.width, f.height));
  return EncodeChecked(encoder, f);
}

TEST(CustomJpeg, BlackStripEncodesToTheKnown128Bytes) {
  const Frame f = testing::MakeFlatFrame(32, 8, 0, 0, 0);
  for (KernelSet set : SupportedKernelSets()) {
    const std::vector<uint8_t> out = EncodeFrame(f, set);
    ASSERT_EQ(out.size(), 128u);
    const std::vector<uint8_t> head = {0x0D, 0x00, 0x00, 0xD8, 0xFF, 0x00, 0x3F, 0xFA, 0x00,
                                       0x28, 0x00, 0xA0, 0x02, 0x80, 0x00, 0xFF, 0xD9};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), out.begin()));
    for (size_t at = 20; at < 128; at += 4) {
      EXPECT_EQ(out[at], 0xFF);
      EXPECT_EQ(out[at + 1], 0xD9);
      EXPECT_EQ(out[at + 2], 0xFF);
      EXPECT_EQ(out[at + 3], 0xFF);
    }
  }
}

TEST(CustomJpeg, StripsEndingOnA128ByteBoundaryStillGetOnePaddingBlock) {
  // 32 black strips of 20 bytes each make 640 = 5 x 128 bytes.
  const Frame f = testing::MakeFlatFrame(1024, 8, 0, 0, 0);
  const std::vector<uint8_t> out = EncodeFrame(f);
  ASSERT_EQ(out.size(), 768u);
  for (size_t at = 640; at < 768; at += 4) EXPECT_EQ(out[at + 1], 0xD9);
}

TEST(CustomJpeg, FullHdFrameHas8100StripsWithOnlyTheLastFlagged) {
  const Frame f = testing::MakeGradientFrame(1920, 1080);
  CustomJpeg encoder;
  ASSERT_TRUE(encoder.Init(1920, 1080));
  EXPECT_EQ(encoder.AlignedHeight(), 1080);
  framestream::StreamCheck check;
  EncodeChecked(encoder, f, &check);
  ASSERT_EQ(check.strips.size(), 8100u);  // 135 bands of 60 strips
  EXPECT_EQ(check.strips.back().sequence, 8099u);
  for (size_t i = 0; i + 1 < check.strips.size(); ++i) ASSERT_FALSE(check.strips[i].last);
  EXPECT_TRUE(check.strips.back().last);
}

TEST(CustomJpeg, QuantTablePayloadHoldsBothTablesInNaturalOrder) {
  CustomJpeg a, b;
  const QuantTablePayload p = BuildQuantTablePayload(a);
  EXPECT_EQ(p, BuildQuantTablePayload(b));
  const std::vector<uint8_t> marker = {0xFF, 0xDB, 0x00, 0x43};
  EXPECT_TRUE(std::equal(marker.begin(), marker.end(), p.begin()));
  EXPECT_TRUE(std::equal(marker.begin(), marker.end(), p.begin() + 69));
  EXPECT_EQ(p[4], 0);
  EXPECT_EQ(p[73], 1);
  const std::vector<uint8_t> lum = {1, 2, 2, 3, 5, 8, 10, 12};
  const std::vector<uint8_t> chrom = {1, 4, 5, 9, 20, 20, 20, 20};
  EXPECT_TRUE(std::equal(lum.begin(), lum.end(), p.begin() + 5));
  EXPECT_TRUE(std::equal(chrom.begin(), chrom.end(), p.begin() + 74));
  // Natural order: the second row of table 0 starts at payload byte 13.
  EXPECT_EQ(p[13], 2);
  EXPECT_EQ(p[13 + 5], 12);
}

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

TEST(CustomJpeg, StreamsStayByteForByteThoseOfTheFirstEncoder) {
  // Sizes and FNV-1a hashes of whole streams (filler bytes included) as the
  // first, per-block encoder wrote them (the tight-pitch 1366-pixel row as
  // the scalar path writes it); every kernel set must keep them.
  struct Case {
    Frame frame;
    size_t bytes;
    uint64_t hash;
  } const cases[] = {
      {testing::MakeTextLikeFrame(320, 64, 2), 14976, 0xD6C18A4E8D08FD4Full},
      {testing::MakeGradientFrame(200, 50), 2816, 0x5F0DE4558D29142Full},
      {testing::MakeNoiseFrame(96, 24, 1), 4480, 0xAE64893A6D45D422ull},
      {testing::MakeNoiseFrame(1366, 16, 3, 4 * 1376), 42240, 0x8FB9D73EF36E8075ull},
      {testing::MakeNoiseFrame(1366, 16, 3), 42112, 0x5A15633B27EFA93Full},
      {testing::MakeTextLikeFrame(1366, 40, 5), 46336, 0x901E103B0DA37C45ull},
      {testing::MakeFlatFrame(33, 9, 10, 200, 30), 128, 0x74225462C812251Bull},
  };
  for (const Case& c : cases) {
    for (KernelSet set : SupportedKernelSets()) {
      const std::vector<uint8_t> out = EncodeFrame(c.frame, set);
      EXPECT_EQ(out.size(), c.bytes) << KernelsFor(set).name << " " << c.frame.width;
      EXPECT_EQ(Fnv1a(out), c.hash) << KernelsFor(set).name << " " << c.frame.width;
    }
  }
}

TEST(CustomJpeg, OddSizesEncodeInsideTheBound) {
  struct Size {
    int width, height;
  } const sizes[] = {{1, 1}, {33, 9}, {31, 7}, {1366, 768}, {3840, 2160}};
  for (const Size s : sizes) {
    const Frame f = testing::MakeNoiseFrame(s.width, s.height, static_cast<uint32_t>(s.width));
    CustomJpeg encoder;
    ASSERT_TRUE(encoder.Init(s.width, s.height));
    framestream::StreamCheck check;
    EncodeChecked(encoder, f, &check);
    EXPECT_EQ(check.strips.size(), framestream::ExpectedStrips(s.width, s.height));
  }
}

TEST(CustomJpeg, TinyFrameFitsItsBoundWhereFourBytesPerPixelWouldNot) {
  const Frame f = testing::MakeFlatFrame(1, 1, 10, 200, 30);
  CustomJpeg encoder;
  ASSERT_TRUE(encoder.Init(1, 1));
  EXPECT_GE(encoder.MaxEncodedSize(), 129u);
  EXPECT_EQ(EncodeChecked(encoder, f).size(), 128u);
}

TEST(CustomJpeg, RowsPastTheHeightRepeatTheLastRow) {
  // 33 x 9 is coded as 64 x 16: rows 9..15 must read as row 8, never past
  // the frame buffer (which holds exactly 9 rows).
  Frame shortFrame = testing::MakeNoiseFrame(33, 9, 4, 4 * 64);
  Frame tallFrame = testing::MakeNoiseFrame(33, 16, 4, 4 * 64);
  std::memcpy(tallFrame.pixels.data(), shortFrame.pixels.data(), shortFrame.pixels.size());
  for (int y = 9; y < 16; ++y) std::memcpy(tallFrame.Row(y), shortFrame.Row(8), 4 * 64);
  shortFrame.pixels.shrink_to_fit();
  CustomJpeg a, b;
  ASSERT_TRUE(a.Init(33, 9));
  ASSERT_TRUE(b.Init(33, 16));
  EXPECT_EQ(EncodeChecked(a, shortFrame), EncodeChecked(b, tallFrame));
}

TEST(CustomJpeg, NarrowPitchRepeatsTheLastColumnAndWidePitchReadsPaddingAsItIs) {
  // 1366 wide is coded 1376 wide. At pitch 4 x 1366 the ten extra columns
  // repeat column 1365; at pitch 4 x 1376 they are read from the buffer.
  const int w = 1366, h = 16;
  Frame tight = testing::MakeNoiseFrame(w, h, 9, 4 * w);
  Frame padded = testing::MakeNoiseFrame(w, h, 10, 4 * 1376);
  for (int y = 0; y < h; ++y) {
    std::memcpy(padded.Row(y), tight.Row(y), 4 * w);
    for (int x = w; x < 1376; ++x) std::memcpy(padded.Row(y) + 4 * x, tight.Row(y) + 4 * (w - 1), 4);
  }
  CustomJpeg encoder;
  ASSERT_TRUE(encoder.Init(w, h));
  const std::vector<uint8_t> fromTight = EncodeChecked(encoder, tight);
  EXPECT_EQ(fromTight, EncodeChecked(encoder, padded));

  // With the padding columns holding something else, the wide pitch codes them.
  for (int y = 0; y < h; ++y) std::memset(padded.Row(y) + 4 * w, 0, 4 * (1376 - w));
  EXPECT_NE(fromTight, EncodeChecked(encoder, padded));
}

TEST(CustomJpeg, RefusesToEncodeWithoutSizeOrWithUnusableArguments) {
  std::vector<uint8_t> out(4096, 0xCC);
  const Frame f = testing::MakeFlatFrame(32, 8, 1, 2, 3);
  CustomJpeg encoder;
  EXPECT_EQ(encoder.MaxEncodedSize(), 0u);
  EXPECT_EQ(encoder.Encode(f.pixels.data(), f.pitch, out.data()), 0u);
  EXPECT_FALSE(encoder.Init(0, 8));
  EXPECT_FALSE(encoder.Init(32, -1));
  EXPECT_FALSE(encoder.Init(CustomJpeg::kMaxDimension + 1, 8));
  ASSERT_TRUE(encoder.Init(32, 8));
  EXPECT_EQ(encoder.Encode(nullptr, f.pitch, out.data()), 0u);
  EXPECT_EQ(encoder.Encode(f.pixels.data(), 0, out.data()), 0u);
  EXPECT_EQ(encoder.Encode(f.pixels.data(), -128, out.data()), 0u);
  EXPECT_EQ(out[0], 0xCC);
}

TEST(CustomJpeg, RepeatedStripsReuseOnlyIdenticalCode) {
  // A strip's code depends only on its own pixels, so every strip record must
  // equal the record of a 32 x 8 frame holding just that strip. Strips here
  // repeat their left neighbour exactly, or differ from it in one pixel, in
  // one channel by one step, or in the ignored byte; a band starts with its
  // predecessor's last strip, and flat strips differ from their neighbours
  // in the DC only, or not at all.
  const int strips = 24;
  Frame f = testing::MakeTextLikeFrame(32 * strips, 16, 4);
  std::mt19937 rng(8);
  for (int s = 1; s < strips; ++s) {
    for (int y = 0; y < 8; ++y) {
      std::memcpy(f.Row(y) + 128 * s, f.Row(y) + 128 * (s - 1), 128);
      std::memcpy(f.Row(8 + y) + 128 * s, f.Row(8 + y) + 128 * (s - 1), 128);
    }
    uint8_t* p = f.Row(static_cast<int>(rng() % 16)) + 128 * s + 4 * static_cast<int>(rng() % 32);
    switch (s % 5) {
      case 0:
        break;  // identical
      case 1:
        p[0] ^= 0x80;
        break;  // one pixel
      case 2:
        p[1] = static_cast<uint8_t>(p[1] + 1);
        break;  // one step
      case 3:   // whole strip one step
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 128; ++x) f.Row(y)[128 * s + x] = static_cast<uint8_t>(f.Row(y)[128 * s + x] | 1);
        break;
      default:
        p[3] ^= 0xFF;
        break;  // the ignored byte
    }
  }
  for (int y = 8; y < 16; ++y) std::memcpy(f.Row(y), f.Row(y - 8) + 128 * (strips - 1), 128);
  // The rest of the second band: flat strips (DC only) that repeat their
  // neighbour or change its colour by a little, then strips of one fixed
  // coarse pattern whose contrast steps up (the same nonzero positions
  // holding other values).
  uint8_t grey = 200;
  for (int s = 1; s < strips / 2; ++s) {
    if (s % 3 != 0) grey = static_cast<uint8_t>(grey + s % 3);
    for (int y = 8; y < 16; ++y)
      for (int x = 32 * s; x < 32 * s + 32; ++x) f.Set(x, y, grey, grey, static_cast<uint8_t>(grey - 5));
  }
  int contrast = 40;
  for (int s = strips / 2; s < strips; ++s) {
    if (s % 3 != 0) contrast += 24;
    for (int y = 8; y < 16; ++y) {
      for (int x = 32 * s; x < 32 * s + 32; ++x) {
        const uint8_t v = static_cast<uint8_t>(((x / 4 + y / 4) % 2) ? 128 + contrast / 2 : 128 - contrast / 2);
        f.Set(x, y, v, v, v);
      }
    }
  }

  for (KernelSet set : SupportedKernelSets()) {
    CustomJpeg encoder;
    ASSERT_TRUE(encoder.SetKernelSet(set));
    ASSERT_TRUE(encoder.Init(f.width, f.height));
    framestream::StreamCheck check;
    const std::vector<uint8_t> stream = EncodeChecked(encoder, f, &check);
    ASSERT_EQ(check.strips.size(), 2u * strips);
    for (size_t i = 0; i < check.strips.size(); ++i) {
      const int band = static_cast<int>(i) / strips, s = static_cast<int>(i) % strips;
      Frame alone = testing::MakeFlatFrame(32, 8, 0, 0, 0);
      for (int y = 0; y < 8; ++y) std::memcpy(alone.Row(y), f.Row(8 * band + y) + 128 * s, 128);
      const std::vector<uint8_t> single = EncodeFrame(alone, set);
      const framestream::StripInfo& info = check.strips[i];
      ASSERT_LE(info.paddedLength + 4, single.size());
      EXPECT_TRUE(std::equal(stream.begin() + info.headerOffset + 4,
                             stream.begin() + info.headerOffset + 4 + info.paddedLength, single.begin() + 4))
          << KernelsFor(set).name << " strip " << i;
      const uint32_t singlePadded = (((single[0] | single[1] << 8) >> 2 & 0xFFu) + 1) * 4;
      EXPECT_EQ(info.paddedLength, singlePadded) << "strip " << i;
    }
  }
}

TEST(CustomJpeg, ResizeSwitchesTheStreamToTheNewSize) {
  CustomJpeg encoder;
  ASSERT_TRUE(encoder.Init(64, 16));
  const Frame small = testing::MakeTextLikeFrame(64, 16, 1);
  const Frame large = testing::MakeTextLikeFrame(800, 600, 1);
  EncodeChecked(encoder, small);
  ASSERT_TRUE(encoder.Resize(800, 600));
  framestream::StreamCheck check;
  EncodeChecked(encoder, large, &check);
  EXPECT_EQ(check.strips.size(), 25u * 75u);
  // A fresh encoder of that size gives the same bytes: nothing carries over.
  EXPECT_EQ(EncodeFrame(large), EncodeChecked(encoder, large));
}

TEST(CustomJpeg, NoiseNeverOverflowsAStripOrTheBound) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const int w = 32 * static_cast<int>(seed) + 7, h = 8 * static_cast<int>(seed) + 3;
    const Frame f = testing::MakeNoiseFrame(w, h, seed);
    CustomJpeg encoder;
    ASSERT_TRUE(encoder.Init(w, h));
    framestream::StreamCheck check;
    EncodeChecked(encoder, f, &check);
    for (const auto& s : check.strips) EXPECT_GT(s.paddedLength, 100u);  // really noisy
  }
}

TEST(CustomJpeg, StripsTooLongForTheHeaderAreRecodedWithFewerCoefficients) {
  const Frame f = testing::MakeNoiseFrame(256, 16, 77);
  CustomJpeg plain;
  ASSERT_TRUE(plain.Init(256, 16));
  framestream::StreamCheck plainCheck;
  const std::vector<uint8_t> unlimited = EncodeChecked(plain, f, &plainCheck);

  CustomJpeg limited;
  ASSERT_TRUE(limited.Init(256, 16));
  const uint32_t limit = 384;
  limited.SetMaxPaddedStripLengthForTesting(limit);
  framestream::StreamCheck check;
  const std::vector<uint8_t> out = EncodeChecked(limited, f, &check);
  ASSERT_EQ(check.strips.size(), plainCheck.strips.size());
  int recoded = 0;
  for (size_t i = 0; i < check.strips.size(); ++i) {
    const auto& a = plainCheck.strips[i];
    const auto& b = check.strips[i];
    EXPECT_LE(b.paddedLength, limit);
    if (a.paddedLength <= limit) {
      // Strips that fit are untouched.
      ASSERT_EQ(a.paddedLength, b.paddedLength);
      EXPECT_EQ(0, std::memcmp(&unlimited[a.headerOffset + 4], &out[b.headerOffset + 4], a.paddedLength));
    } else {
      ++recoded;
    }
  }
  EXPECT_GT(recoded, 0);
}

// Inverts the colour of a rectangle (clipped to the frame).
void Invert(Frame& f, int x0, int y0, int w, int h) {
  for (int y = std::max(0, y0); y < std::min(f.height, y0 + h); ++y)
    for (int x = std::max(0, x0); x < std::min(f.width, x0 + w); ++x)
      for (int k = 0; k < 3; ++k) f.Row(y)[4 * x + k] ^= 0xFF;
}

// Fills one 32 x 8 strip with a pattern of its own (seed 0: flat grey).
void FillStrip(Frame& f, int strip, int band, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 8 * band; y < 8 * band + 8; ++y)
    for (int x = 32 * strip; x < 32 * strip + 32; ++x) {
      const uint8_t v = seed == 0 ? 128 : static_cast<uint8_t>(rng() % 4 * 60);
      f.Set(x, y, v, static_cast<uint8_t>(255 - v), v);
    }
}

// One frame of a sequence: how it differs from the one before, and the strip
// limit from then on (0: unchanged).
struct Step {
  std::function<void(Frame&)> edit;
  uint32_t stripLimit = 0;
};

struct Sequence {
  std::string name;
  Frame first;
  std::vector<Step> steps;
  uint32_t stripLimit = CustomJpeg::kMaxPaddedStripLength;
};

// A fresh scalar encoder's stream: the reference for every kernel set.
std::vector<uint8_t> EncodeFresh(const Frame& f, uint32_t stripLimit) {
  CustomJpeg fresh;
  EXPECT_TRUE(fresh.SetKernelSet(KernelSet::Scalar));
  EXPECT_TRUE(fresh.Init(f.width, f.height));
  fresh.SetMaxPaddedStripLengthForTesting(stripLimit);
  return EncodeChecked(fresh, f);
}

TEST(CustomJpeg, EveryFrameOfASequenceIsCodedAsAFreshEncoderCodesIt) {
  const auto flatStrips = [] {
    Frame f = testing::MakeFlatFrame(160, 16, 0, 0, 0);
    for (int s = 0; s < 5; ++s) FillStrip(f, s, 0, static_cast<uint32_t>(s + 1));
    for (int s = 0; s < 5; ++s) FillStrip(f, s, 1, 0);
    return f;
  };
  const Sequence sequences[] = {
      {"a typed word and a moved pointer, then back",
       testing::MakeTextLikeFrame(1366, 768, 3),
       {{[](Frame& f) { Invert(f, 300, 250, 192, 20), Invert(f, 683, 384, 32, 32); }},
        {[](Frame& f) { Invert(f, 683, 384, 32, 32), Invert(f, 723, 408, 32, 32); }},
        {[](Frame&) {}},
        {[](Frame& f) { Invert(f, 300, 250, 192, 20), Invert(f, 723, 408, 32, 32); }}}},
      {"one step in one channel at the far corner of a strip, the ignored byte",
       testing::MakeGradientFrame(320, 64),
       {{[](Frame& f) { f.Row(15)[4 * 63 + 1] ^= 1; }}, {[](Frame& f) { f.Row(56)[4 * 288] ^= 1; }}, {[](Frame& f) {
          f.Row(0)[3] ^= 0xFF;
        }}}},
      // Strip 2 takes strip 0's new pattern while strip 1 is kept: its
      // coefficients equal those of strip 0, never of strip 1. The second
      // band starts flat.
      {"a changed strip after a kept one, equal to the changed one before it",
       flatStrips(),
       {{[](Frame& f) { FillStrip(f, 0, 0, 9), FillStrip(f, 2, 0, 9); }},
        {[](Frame& f) { f.Set(95, 15, 128, 127, 128); }},  // a flat strip's last pixel
        {[](Frame& f) { FillStrip(f, 1, 0, 9), FillStrip(f, 3, 1, 7); }},
        {[](Frame& f) { FillStrip(f, 0, 0, 1), FillStrip(f, 4, 1, 7); }}}},
      {"strips re-coded to fit, and the limit lowered on the same pixels",
       testing::MakeNoiseFrame(256, 16, 77),
       {{[](Frame& f) { Invert(f, 100, 3, 10, 2); }}, {[](Frame&) {}, 256}, {[](Frame& f) {
          f = testing::MakeNoiseFrame(256, 16, 78);
        }}},
       384},
      // 33 x 9 is coded as 64 x 16: the last column and row are repeated.
      {"the last real column and row, repeated past the frame",
       testing::MakeNoiseFrame(33, 9, 5),
       {{[](Frame& f) { f.Row(4)[4 * 32 + 2] ^= 0x40; }}, {[](Frame& f) { f.Row(8)[4 * 7] ^= 0x40; }}}},
      {"the same size at another pitch, padding columns read as they are",
       testing::MakeNoiseFrame(1366, 16, 9),
       {{[](Frame& f) {
          Frame wide = testing::MakeNoiseFrame(1366, 16, 10, 4 * 1376);
          for (int y = 0; y < 16; ++y) std::memcpy(wide.Row(y), f.Row(y), 4 * 1366);
          f = wide;
        }},
        {[](Frame& f) { f.Row(3)[4 * 1370] ^= 0x40; }},
        {[](Frame& f) { f = testing::MakeNoiseFrame(1366, 16, 9); }}}},
      {"resizes, back to a size seen before",
       testing::MakeTextLikeFrame(64, 16, 1),
       {{[](Frame& f) { f = testing::MakeTextLikeFrame(128, 8, 1); }},
        {[](Frame& f) { f = testing::MakeTextLikeFrame(64, 16, 1); }},
        {[](Frame& f) { Invert(f, 0, 0, 1, 1); }}}},
  };
  for (const Sequence& seq : sequences) {
    for (KernelSet set : SupportedKernelSets()) {
      SCOPED_TRACE(seq.name + ", " + KernelsFor(set).name);
      Frame f = seq.first;
      uint32_t limit = seq.stripLimit;
      CustomJpeg encoder;
      ASSERT_TRUE(encoder.SetKernelSet(set));
      ASSERT_TRUE(encoder.Init(f.width, f.height));
      ASSERT_TRUE(encoder.CanReusePreviousFrame());
      encoder.SetMaxPaddedStripLengthForTesting(limit);
      EXPECT_EQ(EncodeChecked(encoder, f), EncodeFresh(f, limit));
      for (size_t i = 0; i < seq.steps.size(); ++i) {
        const int width = f.width, height = f.height;
        seq.steps[i].edit(f);
        if (f.width != width || f.height != height) {
          ASSERT_TRUE(encoder.Resize(f.width, f.height));
        }
        if (seq.steps[i].stripLimit != 0) {
          limit = seq.steps[i].stripLimit;
          encoder.SetMaxPaddedStripLengthForTesting(limit);
        }
        EXPECT_EQ(EncodeChecked(encoder, f), EncodeFresh(f, limit)) << "frame " << i + 1;
      }
    }
  }
}

// A strip is reused only from a frame that kept it whole, and a frame keeps
// a strip whole only after a fresh start or when the strip's four probe
// pixels show it unchanged since the frame before; otherwise it keeps the
// probe alone. Frames are noise by seed, 96 x 16 (six strips); edits touch
// strip 0 only: `corner` changes a probe pixel, `unseen` none of them.
TEST(CustomJpeg, StripsAreKeptWholeOnlyWhereTheyStayedUnchanged) {
  enum Edit { none, corner, unseen };
  struct Shown {
    unsigned seed;
    Edit edit;
    uint32_t reused;  // expected strips taken from the frame before
  };
  const struct {
    const char* name;
    std::vector<Shown> frames;
  } cases[] = {
      {"complete changes, then a still picture",
       {{1, none, 0}, {2, none, 0}, {3, none, 0}, {3, none, 0}, {3, none, 6}, {3, none, 6}}},
      {"a complete change between still frames", {{4, none, 0}, {4, none, 6}, {5, none, 0}, {5, none, 0}, {5, corner, 5}}},
      {"a strip changing every frame, the others reused",
       {{6, none, 0}, {6, corner, 5}, {6, none, 5}, {6, corner, 5}, {6, none, 5}}},
      // The probe sees no change, so the strip is kept whole, and compared
      // in full before it is reused.
      {"a change the probe does not see", {{7, none, 0}, {7, unseen, 5}, {7, none, 5}, {7, none, 6}, {7, unseen, 5}}},
  };
  for (const auto& c : cases) {
    for (KernelSet set : SupportedKernelSets()) {
      SCOPED_TRACE(std::string(c.name) + ", " + KernelsFor(set).name);
      CustomJpeg encoder;
      ASSERT_TRUE(encoder.SetKernelSet(set));
      ASSERT_TRUE(encoder.Init(96, 16));
      for (size_t i = 0; i < c.frames.size(); ++i) {
        Frame f = testing::MakeNoiseFrame(96, 16, c.frames[i].seed);
        if (c.frames[i].edit == corner) Invert(f, 0, 0, 4, 4);
        if (c.frames[i].edit == unseen) Invert(f, 0, 0, 2, 1);
        EXPECT_EQ(EncodeChecked(encoder, f), EncodeFresh(f, CustomJpeg::kMaxPaddedStripLength)) << "frame " << i;
        EXPECT_EQ(encoder.LastFrameReusedStrips(), c.frames[i].reused) << "frame " << i;
      }
    }
  }
}
}  // namespace
}  // namespace jpeg
