// Decodes a whole frame stream with libjpeg-turbo: every strip is wrapped
// into a baseline JPEG of its own (the quantisation payload's tables, the
// standard Huffman tables) and decoded independently of our encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FrameStream.h"
#include "PngImage.h"

namespace streamtool {

struct DecodeResult {
  bool ok = false;
  std::string error;
  framestream::StreamCheck check;
  BgrxImage image;  // width x height, cropped from the aligned decode
};

struct DecodeOptions {
  bool includeHuffmanTables = true;  // false: let the decoder use its own standard tables
};

DecodeResult DecodeStream(const uint8_t* stream, size_t size, int width, int height, const uint8_t* payload,
                          size_t payloadSize, const DecodeOptions& options = {});

// Peak signal-to-noise ratio over the R, G and B samples of two pictures of
// the same size; +infinity when they are identical.
double Psnr(const BgrxImage& a, const BgrxImage& b);

}  // namespace streamtool
