// The EDID that tests hand to PlugInMonitor (directly, or through a scripted
// USB display device): a valid header, a first detailed timing of the chosen
// mode, from which the stand-in takes the monitor's preferred mode, and a
// recognisable byte at the end of each block so that a copy of the wrong
// length shows. Header-only, for test programs.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace auvex_test {

inline std::vector<uint8_t> EdidWithMode(int width, int height) {
  std::vector<uint8_t> edid(256, 0);
  const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::memcpy(edid.data(), header, 8);
  uint8_t* d = &edid[54];
  d[0] = 0x94;
  d[1] = 0x43;
  d[2] = static_cast<uint8_t>(width & 0xFF);
  d[4] = static_cast<uint8_t>((width >> 8) << 4);
  d[5] = static_cast<uint8_t>(height & 0xFF);
  d[7] = static_cast<uint8_t>((height >> 8) << 4);
  edid[127] = 0x5A;
  edid[128] = 0x02;
  edid[255] = 0xA5;
  return edid;
}

}  // namespace auvex_test
