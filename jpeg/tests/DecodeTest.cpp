// Independent decoding of our frame streams with libjpeg-turbo: real and
// synthetic frames must decode, at the quality the device will show.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CustomJpeg.h"
#include "QuantTablePayload.h"
#include "StreamDecoder.h"
#include "TestFrames.h"

namespace jpeg {
namespace {

using streamtool::BgrxImage;

BgrxImage ToImage(const testing::Frame& f) {
  BgrxImage image;
  image.width = f.width;
  image.height = f.height;
  image.pixels.resize(static_cast<size_t>(f.width) * f.height * 4);
  for (int y = 0; y < f.height; ++y)
    std::memcpy(&image.pixels[static_cast<size_t>(y) * f.width * 4], f.Row(y), f.width * 4u);
  return image;
}

struct RoundTrip {
  streamtool::DecodeResult decoded;
  double psnr = 0;
  size_t bytes = 0;
};

RoundTrip EncodeAndDecode(const uint8_t* pixels, int width, int height, int pitch, const BgrxImage& source,
                          uint32_t stripLimit = 0, streamtool::DecodeOptions options = {}) {
  CustomJpeg encoder;
  EXPECT_TRUE(encoder.Init(width, height));
  if (stripLimit) encoder.SetMaxPaddedStripLengthForTesting(stripLimit);
  std::vector<uint8_t> out(encoder.MaxEncodedSize());
  out.resize(encoder.Encode(pixels, pitch, out.data()));
  const QuantTablePayload payload = BuildQuantTablePayload(encoder);
  RoundTrip r;
  r.bytes = out.size();
  r.decoded = streamtool::DecodeStream(out.data(), out.size(), width, height, payload.data(), payload.size(), options);
  EXPECT_TRUE(r.decoded.ok) << r.decoded.error;
  if (r.decoded.ok) r.psnr = streamtool::Psnr(source, r.decoded.image);
  return r;
}

RoundTrip EncodeAndDecode(const testing::Frame& f, uint32_t stripLimit = 0) {
  return EncodeAndDecode(f.pixels.data(), f.width, f.height, f.pitch, ToImage(f), stripLimit);
}

TEST(Decode, StoredFramesDecodeAtFortyDecibelsOrBetter) {
  const char* names[] = {"desktop_text.png", "desktop_ui_dark.png", "laptop_ui_dark_1366x768.png",
                         "photo_ladybird.png"};
  for (const char* name : names) {
    const std::string path = std::string(SKY_TEST_FRAMES_DIR) + "/" + name;
    BgrxImage image;
    std::string error;
    ASSERT_TRUE(streamtool::ReadPng(path, image, error)) << error;
    const RoundTrip r = EncodeAndDecode(image.pixels.data(), image.width, image.height, image.Pitch(), image);
    EXPECT_GE(r.psnr, 40.0) << name;
    EXPECT_LT(r.bytes, image.pixels.size() / 8) << name;
  }
}

TEST(Decode, StoredFramesGiveIdenticalBytesOnEveryKernelSet) {
  // Sizes and FNV-1a hashes of the streams as the first, per-block encoder
  // wrote them.
  struct Pinned {
    const char* name;
    size_t bytes;
    uint64_t hash;
  } const frames[] = {
      {"desktop_text.png", 458496, 0x5D96C40838A13BE7ull},
      {"desktop_ui_dark.png", 321280, 0xFC7AF7219EB2FF96ull},
      {"laptop_ui_dark_1366x768.png", 203008, 0xF286E9A073F0CDFFull},
      {"photo_ladybird.png", 484608, 0xE8562A30DD70816Eull},
  };
  for (const Pinned& pinned : frames) {
    const char* name = pinned.name;
    BgrxImage image;
    std::string error;
    ASSERT_TRUE(streamtool::ReadPng(std::string(SKY_TEST_FRAMES_DIR) + "/" + name, image, error)) << error;
    std::vector<uint8_t> reference;
    for (KernelSet set : {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2}) {
      if (!IsKernelSetSupported(set)) continue;
      CustomJpeg encoder;
      ASSERT_TRUE(encoder.SetKernelSet(set));
      ASSERT_TRUE(encoder.Init(image.width, image.height));
      std::vector<uint8_t> out(encoder.MaxEncodedSize());
      out.resize(encoder.Encode(image.pixels.data(), image.Pitch(), out.data()));
      if (reference.empty()) {
        reference = out;
        uint64_t hash = 1469598103934665603ull;
        for (uint8_t b : out) {
          hash ^= b;
          hash *= 1099511628211ull;
        }
        EXPECT_EQ(out.size(), pinned.bytes) << name;
        EXPECT_EQ(hash, pinned.hash) << name;
      } else {
        EXPECT_TRUE(out == reference) << name << " differs on " << KernelsFor(set).name;
      }
    }
  }
}

TEST(Decode, SmoothAndTextLikeSyntheticFramesDecode) {
  EXPECT_GE(EncodeAndDecode(testing::MakeGradientFrame(640, 480)).psnr, 40.0);
  EXPECT_GE(EncodeAndDecode(testing::MakeTextLikeFrame(640, 480, 8)).psnr, 30.0);
}

TEST(Decode, OurHuffmanTablesAreTheDecodersOwnStandardTables) {
  // Without DHT segments libjpeg-turbo falls back on its own copy of the
  // Annex K tables; the pictures must not differ.
  const testing::Frame f = testing::MakeNoiseFrame(128, 32, 12);
  const BgrxImage source = ToImage(f);
  streamtool::DecodeOptions noTables;
  noTables.includeHuffmanTables = false;
  const RoundTrip with = EncodeAndDecode(f.pixels.data(), f.width, f.height, f.pitch, source);
  const RoundTrip without = EncodeAndDecode(f.pixels.data(), f.width, f.height, f.pitch, source, 0, noTables);
  ASSERT_TRUE(with.decoded.ok && without.decoded.ok);
  EXPECT_EQ(with.decoded.image.pixels, without.decoded.image.pixels);
}

TEST(Decode, NoiseFramesOfSeveralSizesDecode) {
  for (auto [w, h] : {std::pair{1, 1}, {33, 9}, {100, 37}, {320, 240}}) {
    const RoundTrip r = EncodeAndDecode(testing::MakeNoiseFrame(w, h, 5u + w));
    EXPECT_TRUE(r.decoded.ok) << w << "x" << h;
  }
}

TEST(Decode, HighContrastCellPatternKeepsItsQuality) {
  // 4 x 2-pixel black and white cells: the second DCT pass leaves 16-bit
  // multiplier range here, which used to flip coefficients (about 4 dB).
  testing::Frame f = testing::MakeFlatFrame(32, 8, 0, 0, 0);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 32; ++x)
      if ((x / 4 + y / 2) % 2) f.Set(x, y, 255, 255, 255);
  EXPECT_GE(EncodeAndDecode(f).psnr, 35.0);
}

TEST(Decode, OddSizesAndPitchesDecodeToTheirSource) {
  // 1366 x 768 at the tight pitch and at the aligned pitch.
  for (int pitch : {4 * 1366, 4 * 1376}) {
    const testing::Frame f = testing::MakeTextLikeFrame(1366, 768, 6, pitch);
    EXPECT_GE(EncodeAndDecode(f).psnr, 30.0) << pitch;
  }
  EXPECT_GE(EncodeAndDecode(testing::MakeGradientFrame(3840, 2160)).psnr, 40.0);
  EXPECT_GE(EncodeAndDecode(testing::MakeGradientFrame(33, 9)).psnr, 35.0);
}

TEST(Decode, RecodedStripsStayDecodable) {
  const testing::Frame f = testing::MakeNoiseFrame(256, 16, 77);
  const RoundTrip full = EncodeAndDecode(f);
  const RoundTrip limited = EncodeAndDecode(f, 384);
  ASSERT_TRUE(limited.decoded.ok);
  EXPECT_LT(limited.bytes, full.bytes);
  EXPECT_GT(limited.psnr, 10.0);  // coarser, but still the same picture
}

}  // namespace
}  // namespace jpeg
