#include "BaselineWrapper.h"

#include "JpegTables.h"

namespace framestream {

namespace {

void Put16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void PutQuantTable(std::vector<uint8_t>& out, int id, const uint8_t natural[64]) {
  out.insert(out.end(), {0xFF, 0xDB});
  Put16(out, 2 + 1 + 64);
  out.push_back(static_cast<uint8_t>(id));
  for (int k = 0; k < 64; ++k) out.push_back(natural[jpeg::kZigZagToNatural[k]]);
}

void PutHuffmanTable(std::vector<uint8_t>& out, int classAndId, const jpeg::HuffmanTableDef& def) {
  out.insert(out.end(), {0xFF, 0xC4});
  Put16(out, 2 + 1 + 16 + def.valueCount);
  out.push_back(static_cast<uint8_t>(classAndId));
  out.insert(out.end(), def.bits, def.bits + 16);
  out.insert(out.end(), def.values, def.values + def.valueCount);
}

}  // namespace

std::vector<uint8_t> WrapStripAsJpeg(const uint8_t* coded, size_t codedLength, const uint8_t table0[64],
                                     const uint8_t table1[64], const WrapOptions& options) {
  std::vector<uint8_t> out;
  out.reserve(codedLength + 700);
  out.insert(out.end(), {0xFF, 0xD8});  // SOI
  PutQuantTable(out, 0, table0);
  PutQuantTable(out, 1, table1);

  // SOF0: 8-bit, 8 rows, 32 columns, three components sampled 1 x 1.
  out.insert(out.end(), {0xFF, 0xC0});
  Put16(out, 8 + 3 * 3);
  out.push_back(8);
  Put16(out, 8);
  Put16(out, 32);
  out.push_back(3);
  out.insert(out.end(), {1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1});

  if (options.includeHuffmanTables) {
    PutHuffmanTable(out, 0x00, jpeg::kLuminanceDcDef);
    PutHuffmanTable(out, 0x10, jpeg::kLuminanceAcDef);
    PutHuffmanTable(out, 0x01, jpeg::kChrominanceDcDef);
    PutHuffmanTable(out, 0x11, jpeg::kChrominanceAcDef);
  }

  // SOS: Y with tables 0/0, Cb and Cr with 1/1; full spectral range.
  out.insert(out.end(), {0xFF, 0xDA});
  Put16(out, 6 + 2 * 3);
  out.push_back(3);
  out.insert(out.end(), {1, 0x00, 2, 0x11, 3, 0x11});
  out.insert(out.end(), {0, 63, 0});

  out.insert(out.end(), coded, coded + codedLength);
  out.insert(out.end(), {0xFF, 0xD9});  // EOI
  return out;
}

}  // namespace framestream
