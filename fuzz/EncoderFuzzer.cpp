// libFuzzer target: drives CustomJpeg's Init / Resize / Encode with random
// sizes, pitches and pixels. Every frame lies in a heap buffer of exactly
// height * |pitch| bytes and every output buffer holds exactly
// MaxEncodedSize() bytes, so AddressSanitizer reports any read or write
// outside them. Each stream must pass the stream validator, and every kernel
// set this processor runs must give the same bytes as a fresh scalar encoder.
// After its second frame the encoder codes a sequence of frames (small and
// large changes, the same frame again, resizes, other pitches, other strip
// limits): the encoder keeps the frame before, and each stream must still be
// the one a fresh encoder writes.
//
// Input: 12 header bytes (two sizes, pitch slack and sign, kernel set,
// strip limit), a step count and 6 bytes per step, then pixel bytes,
// repeated as needed to fill the frames.
#include <algorithm>
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

// One frame as the frame source hands it over: height rows of |pitch| bytes.
struct Frame {
  FrameShape shape;
  std::vector<uint8_t> bytes;
};

size_t RowBytes(const FrameShape& f) {
  return static_cast<size_t>(f.pitch < 0 ? -static_cast<int64_t>(f.pitch) : f.pitch);
}

Frame MakeFrame(const FrameShape& shape, const uint8_t* fill, size_t fillSize, size_t offset) {
  Frame f{shape, std::vector<uint8_t>(RowBytes(shape) * static_cast<size_t>(shape.height))};
  for (size_t i = 0; i < f.bytes.size(); ++i)
    f.bytes[i] = fillSize ? fill[(i + offset) % fillSize] : uint8_t(i + offset);
  return f;
}

// Encodes one frame with `encoder` (already sized) and with a fresh scalar
// encoder of the same size; both must agree and form a valid stream.
void EncodeAndCheck(jpeg::CustomJpeg& encoder, const Frame& frame, uint32_t stripLimit) {
  const FrameShape& f = frame.shape;
  // Heap copies of exactly the right size: the vector's data is that already.
  const uint32_t bound = encoder.MaxEncodedSize();
  Check(bound > 128);
  std::vector<uint8_t> out(bound);
  const uint32_t n = encoder.Encode(frame.bytes.data(), f.pitch, out.data());
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
  const uint32_t m = scalar.Encode(frame.bytes.data(), f.pitch, reference.data());
  // Filler bytes are undefined by the format but zero in ours: compare all.
  Check(m == n && std::memcmp(out.data(), reference.data(), n) == 0);
}

int ReadPitch(Reader& in, int width) {
  FrameShape f{width, 0, 0};
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
  return f.pitch;
}

FrameShape ReadShape(Reader& in) {
  FrameShape f;
  f.width = 1 + static_cast<int>(in.Next(2) % 300);
  f.height = 1 + static_cast<int>(in.Next(1) % 40);
  f.pitch = ReadPitch(in, f.width);
  return f;
}

// Strip limits from the real 1024 down to 80 bytes force the re-coding.
// A DC-only strip always fits 80: 12 blocks of at most 24 bits (11-bit
// code, 11 value bits, EOB) = 36 bytes, 72 if every byte were stuffed,
// plus 0xFF 0xD9 and filler.
uint32_t StripLimit(uint32_t choice) { return choice < 128 ? 1024 : 80 + 4 * (choice % 64); }

// XORs `value` into the bytes of a rectangle of pixels (X bytes included),
// inside the rows the frame holds.
void ChangeRectangle(Frame& frame, int x, int y, int w, int h, uint8_t value) {
  const size_t row = RowBytes(frame.shape);
  for (int r = y; r < std::min(y + h, frame.shape.height); ++r)
    for (size_t b = 4 * static_cast<size_t>(x); b < std::min(4 * static_cast<size_t>(x + w), row); ++b)
      frame.bytes[static_cast<size_t>(r) * row + b] ^= value;
}

// One step of a sequence, from 6 input bytes: the next frame and what else
// changes before it is coded.
void RunStep(jpeg::CustomJpeg& encoder, Frame& frame, uint32_t& stripLimit, const uint8_t* op, const uint8_t* fill,
             size_t fillSize) {
  const FrameShape& s = frame.shape;
  Reader args{op + 1, 5};
  switch (op[0] % 8) {
    case 0:  // small change: a few pixels, a word, a pointer
    case 1:
      ChangeRectangle(frame, op[1] % s.width, op[2] % s.height, 1 + op[3] % 40, 1 + op[4] % 12, op[5] | 1);
      break;
    case 2:  // large change
      ChangeRectangle(frame, op[1] % s.width / 4, op[2] % s.height / 4, 1 + op[3] % s.width, 1 + op[4] % s.height,
                      op[5] | 1);
      break;
    case 3:  // the same frame again
      break;
    case 4: {  // a new size
      const FrameShape shape = ReadShape(args);
      Check(encoder.Resize(shape.width, shape.height));
      frame = MakeFrame(shape, fill, fillSize, op[5]);
      break;
    }
    case 5: {  // the same size at another pitch; the rows keep what both pitches hold
      const FrameShape shape{s.width, s.height, ReadPitch(args, s.width)};
      Frame next = MakeFrame(shape, fill, fillSize, op[5]);
      const size_t common = std::min(RowBytes(shape), RowBytes(s));
      for (int r = 0; r < s.height && common != 0; ++r)
        std::memcpy(next.bytes.data() + r * RowBytes(shape), frame.bytes.data() + r * RowBytes(s), common);
      frame = std::move(next);
      break;
    }
    case 6:  // another strip limit on the same pixels
      stripLimit = StripLimit(op[1]);
      encoder.SetMaxPaddedStripLengthForTesting(stripLimit);
      break;
    default:  // a new picture at the same size and pitch
      frame = MakeFrame(s, fill, fillSize, op[1]);
      break;
  }
  EncodeAndCheck(encoder, frame, stripLimit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const FrameShape first = ReadShape(in);
  const FrameShape second = ReadShape(in);
  const int setIndex = static_cast<int>(in.Next(1) % 3);
  uint32_t stripLimit = StripLimit(in.Next(1));
  const size_t steps = in.Next(1) % 13;
  const size_t stepsAt = std::min(in.at, size);
  in.at = std::min(stepsAt + 6 * steps, size);
  const size_t stepBytes = in.at - stepsAt;
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
  EncodeAndCheck(encoder, MakeFrame(first, fill, fillSize, 0), stripLimit);
  Check(encoder.Resize(second.width, second.height));
  Frame frame = MakeFrame(second, fill, fillSize, 0);
  EncodeAndCheck(encoder, frame, stripLimit);
  // Out-of-range sizes are refused, and change nothing.
  Check(!encoder.Resize(0, second.height) && !encoder.Resize(second.width, -1));

  for (size_t at = 0; at + 6 <= stepBytes; at += 6)
    RunStep(encoder, frame, stripLimit, data + stepsAt + at, fill, fillSize);
  return 0;
}
