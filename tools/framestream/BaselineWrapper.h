// Wraps one strip's entropy-coded data into a complete baseline JPEG file
// (SOI, DQT, SOF0 32 x 8 with three 1 x 1 components, DHT, SOS, data, EOI)
// so that any standard decoder can check and decode it independently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace framestream {

struct WrapOptions {
  // Without DHT segments a decoder must fall back on its own copy of the
  // standard tables, which checks ours independently.
  bool includeHuffmanTables = true;
};

// table0/table1: quantisation tables in natural order (as the payload has them).
// coded: the strip's entropy-coded bytes, without the trailing 0xFF 0xD9.
std::vector<uint8_t> WrapStripAsJpeg(const uint8_t* coded, size_t codedLength, const uint8_t table0[64],
                                     const uint8_t table1[64], const WrapOptions& options = {});

}  // namespace framestream
