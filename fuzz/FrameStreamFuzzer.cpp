// libFuzzer target: random bytes for the reading side of the frame stream
// (CheckStream, MeasureFrame) and of the quantisation-table payload. These
// read what a device or a capture file hands them, so no input may make
// them read outside the given bytes, crash or contradict each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FrameStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: expected strip count (0 = follow the last-strip bit).
  const size_t expected = data[0] % 16;
  // An exact-size heap copy so that any overread is caught.
  std::vector<uint8_t> bytes(data + 1, data + size);
  const uint8_t* p = bytes.empty() ? nullptr : bytes.data();

  const framestream::StreamCheck check = framestream::CheckStream(p, bytes.size(), expected);
  if (check.ok) {
    if (!check.error.empty() || check.strips.empty()) std::abort();
    if (expected != 0 && check.strips.size() != expected) std::abort();
    for (const auto& s : check.strips) {
      if (s.headerOffset + 4 + s.paddedLength > bytes.size()) std::abort();
      if (s.codedLength + 2 > s.paddedLength) std::abort();
    }
  } else if (check.error.empty()) {
    std::abort();
  }

  const size_t length = framestream::MeasureFrame(p, bytes.size(), expected);
  if (length > bytes.size() || (length != 0 && length % 128 != 0)) std::abort();

  uint8_t table0[64], table1[64];
  std::string error;
  if (framestream::CheckQuantPayload(p, bytes.size(), table0, table1, error) != error.empty()) std::abort();
  return 0;
}
