// Reading side of the device's frame stream: checks every strip record and
// the end padding of one encoded frame, the way a device would walk it.
// Portable and allocation-light; used by the stream tool, the tests of both
// build trees and the stand-in devices. Never reads outside the given bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace framestream {

struct StripInfo {
  size_t headerOffset = 0;  // offset of the 4-byte strip header in the stream
  uint32_t header = 0;
  uint32_t sequence = 0;    // bits 10..25
  bool last = false;        // bit 27
  size_t paddedLength = 0;  // from bits 2..9: (field + 1) * 4
  size_t codedLength = 0;   // entropy-coded bytes before the 0xFF 0xD9
};

struct StreamCheck {
  bool ok = false;
  std::string error;       // empty when ok
  size_t errorStrip = 0;   // strip index where the fault was found
  size_t errorOffset = 0;  // byte offset of the fault
  std::vector<StripInfo> strips;
  size_t paddingWords = 0;
};

// Strips of a width x height frame: (aligned width / 32) * (aligned height / 8).
size_t ExpectedStrips(int width, int height);

// Walks a stream of `size` bytes. When expectedStrips is 0, the strip count is
// taken from the last-strip bit instead of the frame size.
StreamCheck CheckStream(const uint8_t* data, size_t size, size_t expectedStrips);

// Length of the frame that starts at `data` (strip records plus end padding),
// found by walking the strip headers; lets a reader split a capture holding
// several frames back to back. 0 when the headers do not describe a frame of
// `expectedStrips` strips inside `size` bytes.
size_t MeasureFrame(const uint8_t* data, size_t size, size_t expectedStrips);

// Checks the 138-byte quantisation-table payload's markers and table ids,
// and copies the two 64-entry tables (natural order) out.
bool CheckQuantPayload(const uint8_t* data, size_t size, uint8_t table0[64], uint8_t table1[64], std::string& error);

}  // namespace framestream
