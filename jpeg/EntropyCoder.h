// Baseline Huffman coding of quantised blocks (T.81 F.1.2) with the standard
// tables of Annex K, 0xFF byte stuffing and the strip's final flush.
// The code tables are built once per process and only read afterwards.
#pragma once

#include <cstdint>

#include "EncoderKernels.h"
#include "JpegTables.h"

namespace jpeg {

struct CustomJpegState;

// Code entries (code << 16 | length) indexed by symbol; 0 for undefined symbols.
// DC tables use entries 0 .. 11, AC tables 0 .. 255.
struct HuffCodeTable {
  uint32_t entry[256];
};

struct HuffCodePair {
  const HuffCodeTable* dc;
  const HuffCodeTable* ac;
};

struct StandardCodeTables {
  HuffCodeTable luminanceDc, luminanceAc, chrominanceDc, chrominanceAc;
  HuffCodePair Luminance() const { return {&luminanceDc, &luminanceAc}; }
  HuffCodePair Chrominance() const { return {&chrominanceDc, &chrominanceAc}; }
};

// Canonical codes from BITS and HUFFVAL (T.81 Annex C).
void BuildCodeTable(const HuffmanTableDef& def, HuffCodeTable& table);

// The four process-wide tables; built by the first caller, safe to call from
// several threads at once.
const StandardCodeTables& GetStandardCodeTables();

// Appends one block's code to the strip. `block` is in natural order;
// `predictor` is the component's DC predictor (in and out). Like
// EncodeStripBlocks it may store up to 4 bytes past the code it appends
// (bytes that later code or the flush overwrite): the output needs room for
// them. Each kernel set has its own instance of the coder.
void EncodeBlock(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables,
                 const EncoderKernels& kernels = ActiveKernels());

// Codes the twelve blocks of one strip (four MCUs of Y, Cb, Cr) with DC
// predictors starting at 0, as twelve EncodeBlock calls would. Coefficients
// at zig-zag indices above lastAcIndex are coded as zero (63: all of them).
void EncodeStripBlocks(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex,
                       const EncoderKernels& kernels = ActiveKernels());

// Adds one code entry's bits to the bit writer.
void EmitBits(uint32_t entry, CustomJpegState& state);

// Writes the pending bits, completing the last byte with 0 bits.
void FlushBits(CustomJpegState& state);

}  // namespace jpeg
