// The stream validator must catch every kind of damage a stream can carry,
// and say where: every other test of the frame path trusts its verdict.
#include <gtest/gtest.h>

#include <vector>

#include "CustomJpeg.h"
#include "FrameStream.h"

namespace framestream {
namespace {

// A real 128 x 16 stream (8 strips) to damage.
std::vector<uint8_t> ValidStream() {
  std::vector<uint8_t> pixels(128 * 16 * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + i / 61);
  jpeg::CustomJpeg encoder;
  EXPECT_TRUE(encoder.Init(128, 16));
  std::vector<uint8_t> out(encoder.MaxEncodedSize());
  out.resize(encoder.Encode(pixels.data(), 128 * 4, out.data()));
  return out;
}

void PutHeader(std::vector<uint8_t>& s, size_t at, uint32_t header) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<uint8_t>(header >> (8 * i));
}

TEST(CheckStream, AcceptsAnEncodedFrameAndReportsItsStrips) {
  const std::vector<uint8_t> s = ValidStream();
  const StreamCheck c = CheckStream(s.data(), s.size(), ExpectedStrips(128, 16));
  ASSERT_TRUE(c.ok) << c.error;
  ASSERT_EQ(c.strips.size(), 8u);
  EXPECT_TRUE(c.strips.back().last);
  EXPECT_EQ(MeasureFrame(s.data(), s.size(), 8), s.size());
  // Without a frame size the last-strip bit ends the walk.
  EXPECT_TRUE(CheckStream(s.data(), s.size(), 0).ok);
}

TEST(CheckStream, ReportsEachKindOfDamageWithStripAndOffset) {
  const std::vector<uint8_t> good = ValidStream();
  const StreamCheck reference = CheckStream(good.data(), good.size(), 8);
  ASSERT_TRUE(reference.ok);
  const StripInfo third = reference.strips[2];

  struct Damage {
    const char* what;
    void (*apply)(std::vector<uint8_t>&, const StripInfo&);
    size_t strip;
  } const cases[] = {
      {"constant bits",
       [](std::vector<uint8_t>& s, const StripInfo& t) { PutHeader(s, t.headerOffset, t.header & ~0x10000000u); }, 2},
      {"bit 26 set",
       [](std::vector<uint8_t>& s, const StripInfo& t) { PutHeader(s, t.headerOffset, t.header | 0x04000000u); }, 2},
      {"sequence",
       [](std::vector<uint8_t>& s, const StripInfo& t) { PutHeader(s, t.headerOffset, t.header ^ (1u << 10)); }, 2},
      {"early last bit",
       [](std::vector<uint8_t>& s, const StripInfo& t) { PutHeader(s, t.headerOffset, t.header | 0x08000000u); }, 2},
      {"unstuffed 0xFF",
       [](std::vector<uint8_t>& s, const StripInfo& t) {
         s[t.headerOffset + 4] = 0xFF;
         s[t.headerOffset + 5] = 0x12;
       },
       2},
      {"length too short for the data",
       [](std::vector<uint8_t>& s, const StripInfo& t) {
         PutHeader(s, t.headerOffset, (t.header & ~0x3FCu) | (1u << 2));
       },
       2},
  };
  for (const Damage& d : cases) {
    std::vector<uint8_t> s = good;
    d.apply(s, third);
    const StreamCheck c = CheckStream(s.data(), s.size(), 8);
    EXPECT_FALSE(c.ok) << d.what;
    EXPECT_EQ(c.errorStrip, d.strip) << d.what << ": " << c.error;
    EXPECT_GE(c.errorOffset, third.headerOffset) << d.what;
    EXPECT_NE(c.error.find("strip 2"), std::string::npos) << c.error;
  }
}

TEST(CheckStream, RejectsBadPaddingLengthsAndTruncation) {
  const std::vector<uint8_t> good = ValidStream();
  {
    std::vector<uint8_t> s = good;
    s[s.size() - 3] = 0x00;  // last padding word damaged
    const StreamCheck c = CheckStream(s.data(), s.size(), 8);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.errorOffset, s.size() - 4);
  }
  {
    std::vector<uint8_t> s(good.begin(), good.end() - 128);  // cut inside the frame
    EXPECT_FALSE(CheckStream(s.data(), s.size(), 8).ok);
    EXPECT_EQ(MeasureFrame(s.data(), s.size(), 8), 0u);
  }
  EXPECT_FALSE(CheckStream(good.data(), good.size() - 1, 8).ok);  // not a multiple of 128
  EXPECT_FALSE(CheckStream(good.data(), good.size(), 9).ok);      // a strip missing
  EXPECT_FALSE(CheckStream(good.data(), 0, 8).ok);
}

TEST(CheckStream, NeverReadsPastTheBytesItIsGiven) {
  // Every prefix of a valid stream, copied into a buffer of exactly its size
  // (AddressSanitizer in the native tree watches the reads).
  const std::vector<uint8_t> good = ValidStream();
  for (size_t n = 0; n <= good.size(); n += 4) {
    std::vector<uint8_t> prefix(good.begin(), good.begin() + n);
    const StreamCheck c = CheckStream(prefix.data(), prefix.size(), 8);
    EXPECT_EQ(c.ok, n == good.size());
    MeasureFrame(prefix.data(), prefix.size(), 8);
  }
}

TEST(CheckQuantPayload, AcceptsAWellFormedPayloadAndRejectsDamage) {
  std::vector<uint8_t> payload(138);
  payload[0] = 0xFF;
  payload[1] = 0xDB;
  payload[2] = 0;
  payload[3] = 0x43;
  payload[4] = 0;
  payload[69] = 0xFF;
  payload[70] = 0xDB;
  payload[71] = 0;
  payload[72] = 0x43;
  payload[73] = 1;
  for (int i = 0; i < 64; ++i) payload[5 + i] = payload[74 + i] = static_cast<uint8_t>(1 + i);
  uint8_t t0[64], t1[64];
  std::string error;
  EXPECT_TRUE(CheckQuantPayload(payload.data(), payload.size(), t0, t1, error)) << error;
  EXPECT_EQ(t1[63], 64);
  payload[73] = 0;
  EXPECT_FALSE(CheckQuantPayload(payload.data(), payload.size(), t0, t1, error));
  EXPECT_FALSE(CheckQuantPayload(payload.data(), 137, t0, t1, error));
}

}  // namespace
}  // namespace framestream
