#include "EntropyCoder.h"

#include <cstring>
#include <mutex>

#include "BlockCoder.h"
#include "CustomJpegState.h"

namespace jpeg {

namespace {

inline void PutByte(CustomJpegState& state, uint8_t byte) {
  state.output[state.outputLength++] = byte;
  if (byte == 0xFF) state.output[state.outputLength++] = 0x00;
}

}  // namespace

namespace block_coder {

StandardCodeTables s_codeTables;
SizedCodeTable s_sizedLuminance, s_sizedChrominance;
bool s_codeTablesReady = false;

void BuildSizedCodeTable(const HuffCodePair& codes, SizedCodeTable& sized) {
  for (uint32_t size = 0; size < 16; ++size) {
    const uint32_t entry = codes.dc->entry[size];
    sized.entry[size] = size <= kMaxDcSize ? SizedCode{(entry >> 16) << size, (entry & 0xFFFF) + size} : SizedCode{};
  }
  for (uint32_t symbol = 0; symbol < 256; ++symbol) {
    const uint32_t size = symbol & 15;
    const uint32_t entry = codes.ac->entry[symbol];
    sized.entry[16 + symbol] = {(entry >> 16) << size, (entry & 0xFFFF) + size};
  }
}

AcValueCodes s_acValueCodes;

namespace {

void BuildAcValueCodes(AcValueCodes& codes) {
  for (int i = 0; i < 65536; ++i) {
    const int v = ClampToSize(static_cast<int16_t>(i), kMaxAcSize);
    const int size = MagnitudeSize(v);
    codes.entry[i] = {static_cast<uint16_t>((v + (v >> 31)) & ((1 << size) - 1)), static_cast<uint8_t>(size),
                      static_cast<uint8_t>(MagnitudeSize(static_cast<int16_t>(i)))};
  }
}

}  // namespace

}  // namespace block_coder

using namespace block_coder;

void BuildCodeTable(const HuffmanTableDef& def, HuffCodeTable& table) {
  for (uint32_t& e : table.entry) e = 0;
  uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < def.bits[length - 1] && k < def.valueCount; ++i) {
      table.entry[def.values[k]] = (code << 16) | static_cast<uint32_t>(length);
      ++code;
      ++k;
    }
    code = (code << 1) & 0xFFFF;
  }
}

const StandardCodeTables& GetStandardCodeTables() {
  // Asked once per strip: after the first build a single acquire load
  // answers. std::call_once alone costs a thread-local lookup and a spin
  // lock per call with the 32-bit Windows thread library.
  if (__atomic_load_n(&s_codeTablesReady, __ATOMIC_ACQUIRE)) return s_codeTables;
  static std::once_flag built;
  std::call_once(built, [] {
    BuildCodeTable(kLuminanceDcDef, s_codeTables.luminanceDc);
    BuildCodeTable(kLuminanceAcDef, s_codeTables.luminanceAc);
    BuildCodeTable(kChrominanceDcDef, s_codeTables.chrominanceDc);
    BuildCodeTable(kChrominanceAcDef, s_codeTables.chrominanceAc);
    BuildSizedCodeTable(s_codeTables.Luminance(), s_sizedLuminance);
    BuildSizedCodeTable(s_codeTables.Chrominance(), s_sizedChrominance);
    BuildAcValueCodes(s_acValueCodes);
    __atomic_store_n(&s_codeTablesReady, true, __ATOMIC_RELEASE);
  });
  return s_codeTables;
}

void EmitBits(uint32_t entry, CustomJpegState& state) {
  const int length = static_cast<int>(entry & 0xFFFF);
  if (length == 0 || length > 16) return;  // no code: nothing to write
  // Keep only the entry's low `length` value bits (value entries carry sign bits above).
  const uint32_t bits = (entry >> 16) << (32 - length) >> (32 - length);
  const int n = state.bitCount;
  if (n + length < 32) {
    state.bitBuffer = (state.bitBuffer << length) | bits;
    state.bitCount = static_cast<uint8_t>(n + length);
    return;
  }
  const int rest = n + length - 32;
  const uint64_t all = (static_cast<uint64_t>(state.bitBuffer) << length) | bits;
  const uint32_t group = static_cast<uint32_t>(all >> rest);
  PutByte(state, static_cast<uint8_t>(group >> 24));
  PutByte(state, static_cast<uint8_t>(group >> 16));
  PutByte(state, static_cast<uint8_t>(group >> 8));
  PutByte(state, static_cast<uint8_t>(group));
  state.bitBuffer = static_cast<uint32_t>(all & ((uint64_t{1} << rest) - 1));
  state.bitCount = static_cast<uint8_t>(rest);
}

void FlushBits(CustomJpegState& state) {
  const int n = state.bitCount;
  if (n > 0) {
    const uint32_t aligned = state.bitBuffer << (32 - n);  // 0 bits fill the last byte
    for (int written = 0; written < n; written += 8) {
      PutByte(state, static_cast<uint8_t>(aligned >> (24 - written)));
    }
  }
  state.bitBuffer = 0;
  state.bitCount = 0;
}

void EncodeBlock(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables,
                 const EncoderKernels& kernels) {
  kernels.encodeBlock(state, block, predictor, tables);
}

void EncodeStripBlocks(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex,
                       const EncoderKernels& kernels) {
  kernels.encodeStripBlocks(state, blocks, lastAcIndex);
}

}  // namespace jpeg
