// libFuzzer target: drives CustomJpeg's Init / Resize / Encode with random
// sizes, pitches and pixels. Every frame lies in a heap buffer of exactly
// height * |pitch| bytes and every output buffer holds exactly
// MaxEncodedSize() bytes, so AddressSanitizer reports any read or write
// outside them. Each stream must pass the stream validator, and every kernel
// set this processor runs must give the same bytes as the scalar one.
//
// Input: 12 header bytes (two sizes, pitch slack and sign, kernel set,
// strip limit), then pixel bytes, repeated as needed to fill the frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CustomJpeg.h"
#include "FrameStream.h"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint32_t Next(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | (at < size ? data[at++] : 0);
    return v;
  }
};

void CheckAt(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "EncoderFuzzer.cpp:%d: check failed\n", line);
  std::abort();
}
#define Check(condition) CheckAt((condition), __LINE__)

struct FrameShape {
  int width, height, pitch;
};

// Encodes one frame with `encoder` (already sized) and with a scalar encoder
// of the same size; both must agree and form a valid stream.
void EncodeAndCheck(jpeg::CustomJpeg& encoder, const FrameShape& f, const uint8_t* fill,
                    size_t fillSize, uint32_t stripLimit) {
  const size_t absPitch =
      static_cast<size_t>(f.pitch < 0 ? -static_cast<int64_t>(f.pitch) : f.pitch);
  std::vector<uint8_t> frame(absPitch * static_cast<size_t>(f.height));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = fillSize ? fill[i % fillSize] : uint8_t(i);
  // Heap copies of exactly the right size: the vector's data is that already.
  const uint32_t bound = encoder.MaxEncodedSize();
  Check(bound > 128);
  std::vector<uint8_t> out(bound);
  const uint32_t n = encoder.Encode(frame.data(), f.pitch, out.data());
  if (f.pitch < 4) {
    Check(n == 0);  // refused, nothing written
    return;
  }
  Check(n >= 128 && n % 128 == 0 && n < bound);
  const framestream::StreamCheck check =
      framestream::CheckStream(out.data(), n, framestream::ExpectedStrips(f.width, f.height));
  Check(check.ok);
  for (const auto& s : check.strips) Check(s.paddedLength <= stripLimit);

  jpeg::CustomJpeg scalar;
  Check(scalar.SetKernelSet(jpeg::KernelSet::Scalar));
  Check(scalar.Init(f.width, f.height));
  scalar.SetMaxPaddedStripLengthForTesting(stripLimit);
  std::vector<uint8_t> reference(scalar.MaxEncodedSize());
  const uint32_t m = scalar.Encode(frame.data(), f.pitch, reference.data());
  // Filler bytes are undefined by the format but zero in ours: compare all.
  Check(m == n && std::memcmp(out.data(), reference.data(), n) == 0);
}

FrameShape ReadShape(Reader& in) {
  FrameShape f;
  f.width = 1 + static_cast<int>(in.Next(2) % 300);
  f.height = 1 + static_cast<int>(in.Next(1) % 40);
  const int slack = static_cast<int>(in.Next(1));
  const int mode = static_cast<int>(in.Next(1) % 8);
  // Pitches that hold the aligned width, that hold only the real width, that
  // hold fewer columns than the frame, and refused ones.
  switch (mode) {
    case 0:
      f.pitch = 4 * f.width;
      break;
    case 1:
      f.pitch = 4 * ((f.width + 31) & ~31) + 4 * (slack % 8);
      break;
    case 2:
      f.pitch = 4 * f.width + slack;
      break;
    case 3:
      f.pitch = 4 + 4 * (slack % f.width);
      break;
    case 4:
      f.pitch = 4 + slack % (4 * f.width);
      break;  // not a multiple of 4
    case 5:
      f.pitch = -4 * f.width;
      break;
    case 6:
      f.pitch = slack % 4;
      break;
    default:
      f.pitch = 4 * f.width + 4 * slack;
      break;
  }
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const FrameShape first = ReadShape(in);
  const FrameShape second = ReadShape(in);
  const int setIndex = static_cast<int>(in.Next(1) % 3);
  // Strip limits from the real 1024 down to 80 bytes force the re-coding.
  // A DC-only strip always fits 80: 12 blocks of at most 24 bits (11-bit
  // code, 11 value bits, EOB) = 36 bytes, 72 if every byte were stuffed,
  // plus 0xFF 0xD9 and filler.
  const uint32_t limitChoice = in.Next(1);
  const uint32_t stripLimit = limitChoice < 128 ? 1024 : 80 + 4 * (limitChoice % 64);
  const uint8_t* fill = data + in.at;
  const size_t fillSize = size - in.at;

  jpeg::CustomJpeg encoder;
  const jpeg::KernelSet set = static_cast<jpeg::KernelSet>(setIndex);
  if (!encoder.SetKernelSet(set)) Check(!jpeg::IsKernelSetSupported(set));
  Check(encoder.MaxEncodedSize() == 0);
  std::vector<uint8_t> unused(128);
  Check(encoder.Encode(fill, 4, unused.data()) == 0);  // no size yet

  encoder.SetMaxPaddedStripLengthForTesting(stripLimit);
  Check(encoder.Init(first.width, first.height));
  EncodeAndCheck(encoder, first, fill, fillSize, stripLimit);
  Check(encoder.Resize(second.width, second.height));
  EncodeAndCheck(encoder, second, fill, fillSize, stripLimit);
  // Out-of-range sizes are refused.
  Check(!encoder.Resize(0, second.height) && !encoder.Resize(second.width, -1));
  return 0;
}
