#include "QuantTablePayload.h"

#include "CustomJpeg.h"
#include "JpegTables.h"

namespace jpeg {

QuantTablePayload BuildQuantTablePayload(const CustomJpeg& encoder) {
  QuantTablePayload payload{};
  size_t at = 0;
  for (int table = 0; table < 2; ++table) {
    const uint8_t* zigzag = encoder.GetQuantTable(table);
    payload[at++] = 0xFF;
    payload[at++] = 0xDB;
    payload[at++] = 0x00;
    payload[at++] = 0x43;  // segment length 67: one table of 8-bit precision
    payload[at++] = static_cast<uint8_t>(table);
    for (int i = 0; i < 64; ++i) payload[at++] = zigzag ? zigzag[kNaturalToZigZag[i]] : 0;
  }
  return payload;
}

}  // namespace jpeg
