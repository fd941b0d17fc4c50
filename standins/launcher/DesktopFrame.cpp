// SkyDesktopFrame: renders one frame of the stand-in virtual monitor's
// synthetic desktop, exactly as a monitor of that size delivers its frame
// number INDEX, into a raw BGRX file (rows of 4 * WIDTH bytes). The
// demonstration compares what a device decoded with it.
//
//   SkyDesktopFrame OUT.bgrx WIDTH HEIGHT INDEX
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "FrameSource.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: SkyDesktopFrame OUT.bgrx WIDTH HEIGHT INDEX\n");
    return 2;
  }
  const int modeWidth = std::atoi(argv[2]), modeHeight = std::atoi(argv[3]);
  const unsigned long long index = std::strtoull(argv[4], nullptr, 10);
  if (modeWidth <= 0 || modeHeight <= 0 || modeWidth > auvex::kMaxModeSide || modeHeight > auvex::kMaxModeSide) {
    std::fprintf(stderr, "SkyDesktopFrame: bad size %sx%s\n", argv[2], argv[3]);
    return 2;
  }
  auvex::SyntheticDesktop desktop;
  int width = 0, height = 0;
  desktop.FrameSize(modeWidth, modeHeight, &width, &height);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
  desktop.Render(index, width, height, width * 4, pixels.data());
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(pixels.data(), 1, pixels.size(), f) != pixels.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "SkyDesktopFrame: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%dx%d frame %llu written to %s\n", width, height, index, argv[1]);
  return 0;
}
