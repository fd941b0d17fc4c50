#include "FrameStream.h"

#include <cstdarg>
#include <cstdio>

namespace framestream {

namespace {

uint32_t LoadLittleEndian32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool Fail(StreamCheck& check, size_t strip, size_t offset, const char* format, ...) {
  char text[200];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  char where[64];
  std::snprintf(where, sizeof where, "strip %zu, byte %zu: ", strip, offset);
  check.ok = false;
  check.error = std::string(where) + text;
  check.errorStrip = strip;
  check.errorOffset = offset;
  return false;
}

// Finds the end of the entropy-coded data: inside it every 0xFF is followed
// by a stuffed 0x00, so the first 0xFF followed by anything else must be the
// strip's 0xFF 0xD9. Returns the coded length, or -1 with the fault's offset.
long FindCodedEnd(const uint8_t* data, size_t begin, size_t end, size_t& faultOffset) {
  for (size_t i = begin; i + 1 < end; ++i) {
    if (data[i] != 0xFF) continue;
    if (data[i + 1] == 0x00) {
      ++i;
      continue;
    }
    if (data[i + 1] == 0xD9) return static_cast<long>(i - begin);
    faultOffset = i;
    return -1;
  }
  faultOffset = end;
  return -1;
}

}  // namespace

size_t ExpectedStrips(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const size_t alignedWidth = (static_cast<size_t>(width) + 31) & ~size_t{31};
  const size_t alignedHeight = (static_cast<size_t>(height) + 7) & ~size_t{7};
  return (alignedWidth / 32) * (alignedHeight / 8);
}

StreamCheck CheckStream(const uint8_t* data, size_t size, size_t expectedStrips) {
  StreamCheck check;
  if (size < 128 || size % 128 != 0) {
    Fail(check, 0, size, "stream length %zu is not a positive multiple of 128", size);
    return check;
  }
  size_t at = 0;
  for (size_t index = 0;; ++index) {
    if (expectedStrips != 0 && index == expectedStrips) break;
    if (at + 4 > size) {
      Fail(check, index, at, "strip header runs past the end of the stream");
      return check;
    }
    StripInfo s;
    s.headerOffset = at;
    s.header = LoadLittleEndian32(data + at);
    if ((s.header & 0x00000003) != 1 || (s.header & 0xF0000000) != 0xD0000000 || (s.header & 0x04000000) != 0) {
      Fail(check, index, at,
           "header %08X lacks the constant bits (1 in bits 0-1, 0xD in 28-31, "
           "bit 26 clear)",
           s.header);
      return check;
    }
    s.sequence = (s.header >> 10) & 0xFFFF;
    s.last = ((s.header >> 27) & 1) != 0;
    s.paddedLength = (((s.header >> 2) & 0xFF) + 1) * 4;
    if (s.sequence != (index & 0xFFFF)) {
      Fail(check, index, at, "sequence number %u, expected %zu", s.sequence, index & 0xFFFF);
      return check;
    }
    const bool shouldBeLast = expectedStrips != 0 && index + 1 == expectedStrips;
    if (expectedStrips != 0 && s.last != shouldBeLast) {
      Fail(check, index, at, s.last ? "last-strip bit set early" : "last-strip bit missing");
      return check;
    }
    const size_t dataBegin = at + 4;
    const size_t dataEnd = dataBegin + s.paddedLength;
    if (dataEnd > size) {
      Fail(check, index, at, "padded length %zu runs past the end of the stream", s.paddedLength);
      return check;
    }
    size_t fault = 0;
    const long coded = FindCodedEnd(data, dataBegin, dataEnd, fault);
    if (coded < 0) {
      Fail(check, index, fault, "no 0xFF 0xD9 ending the coded data (unstuffed 0xFF or missing)");
      return check;
    }
    s.codedLength = static_cast<size_t>(coded);
    const size_t filler = s.paddedLength - s.codedLength - 2;
    if (filler > 3) {
      Fail(check, index, dataBegin + s.codedLength, "%zu bytes after 0xFF 0xD9; at most 3 filler bytes may follow",
           filler);
      return check;
    }
    check.strips.push_back(s);
    at = dataEnd;
    if (s.last) {
      if (expectedStrips == 0) break;
    }
  }

  const size_t stripCount = check.strips.size();
  if (at == size) {
    Fail(check, stripCount, at, "no end padding after the last strip");
    return check;
  }
  for (; at < size; at += 4) {
    if (at + 4 > size || data[at] != 0xFF || data[at + 1] != 0xD9 || data[at + 2] != 0xFF || data[at + 3] != 0xFF) {
      Fail(check, stripCount, at, "bad end padding word (expected FF D9 FF FF)");
      return check;
    }
    ++check.paddingWords;
  }
  if (check.paddingWords > 32) {
    Fail(check, stripCount, size, "%zu end padding words; at most 32 are ever needed", check.paddingWords);
    return check;
  }
  check.ok = true;
  return check;
}

size_t MeasureFrame(const uint8_t* data, size_t size, size_t expectedStrips) {
  size_t at = 0;
  for (size_t i = 0; i < expectedStrips; ++i) {
    if (at + 4 > size) return 0;
    const uint32_t header = LoadLittleEndian32(data + at);
    at += 4 + (((header >> 2) & 0xFF) + 1) * 4;
  }
  const size_t total = at + (at % 128 == 0 ? 128 : 128 - at % 128);
  return total <= size ? total : 0;
}

bool CheckQuantPayload(const uint8_t* data, size_t size, uint8_t table0[64], uint8_t table1[64], std::string& error) {
  if (size != 138) {
    error = "payload is " + std::to_string(size) + " bytes, expected 138";
    return false;
  }
  for (int t = 0; t < 2; ++t) {
    const uint8_t* segment = data + 69 * t;
    if (segment[0] != 0xFF || segment[1] != 0xDB || segment[2] != 0x00 || segment[3] != 0x43 || segment[4] != t) {
      error = "table " + std::to_string(t) + ": bad segment header";
      return false;
    }
    uint8_t* out = t == 0 ? table0 : table1;
    for (int i = 0; i < 64; ++i) {
      if (segment[5 + i] == 0) {
        error = "table " + std::to_string(t) + ": zero entry at " + std::to_string(i);
        return false;
      }
      out[i] = segment[5 + i];
    }
  }
  return true;
}

}  // namespace framestream
