#include "EntropyCoder.h"

#include <emmintrin.h>

#include <mutex>

#include "CustomJpegState.h"

namespace jpeg {

namespace {

constexpr int kZrlSymbol = 0xF0;
constexpr int kEobSymbol = 0x00;

// With 8-bit samples and the fixed quality-90 tables, DC differences need at
// most 11 bits and AC coefficients at most 10 (|AC| <= 21933 / 22 < 1024: the
// DCT output bound over the smallest AC divisor). Those are the largest sizes
// the standard tables have codes for. Should a value ever exceed them, it is
// clamped so the stream stays decodable instead of losing its code.
constexpr int kMaxDcSize = 11;
constexpr int kMaxAcSize = 10;

inline int BitLength(uint32_t v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }

// Value entry of a nonzero v: its T.81 additional bits and their count.
inline uint32_t ValueEntry(int v, int size) {
  const int bits = v > 0 ? v : v - 1;
  return (static_cast<uint32_t>(bits) << 16) | static_cast<uint32_t>(size);
}

inline int ClampToSize(int v, int maxSize) {
  const int limit = (1 << maxSize) - 1;
  return v > limit ? limit : (v < -limit ? -limit : v);
}

inline void PutByte(CustomJpegState& state, uint8_t byte) {
  state.output[state.outputLength++] = byte;
  if (byte == 0xFF) state.output[state.outputLength++] = 0x00;
}

// Bit mask of the nonzero coefficients of a zig-zag block (bit k = index k).
inline uint64_t NonzeroMask(const int16_t* zigzag) {
  const __m128i zero = _mm_setzero_si128();
  uint64_t zeroMask = 0;
  for (int group = 0; group < 4; ++group) {
    const __m128i* p = reinterpret_cast<const __m128i*>(zigzag + 16 * group);
    const __m128i eq0 = _mm_cmpeq_epi16(_mm_load_si128(p), zero);
    const __m128i eq1 = _mm_cmpeq_epi16(_mm_load_si128(p + 1), zero);
    const uint32_t bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(eq0, eq1)));
    zeroMask |= static_cast<uint64_t>(bits) << (16 * group);
  }
  return ~zeroMask;
}

}  // namespace

void BuildCodeTable(const HuffmanSpec& spec, HuffCodeTable& table) {
  for (uint32_t& e : table.entry) e = 0;
  uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < spec.bits[length - 1] && k < spec.valueCount; ++i) {
      table.entry[spec.values[k]] = (code << 16) | static_cast<uint32_t>(length);
      ++code;
      ++k;
    }
    code = (code << 1) & 0xFFFF;
  }
}

const StandardCodeTables& GetStandardCodeTables() {
  static StandardCodeTables tables;
  static std::once_flag built;
  std::call_once(built, [] {
    BuildCodeTable(kLuminanceDcSpec, tables.luminanceDc);
    BuildCodeTable(kLuminanceAcSpec, tables.luminanceAc);
    BuildCodeTable(kChrominanceDcSpec, tables.chrominanceDc);
    BuildCodeTable(kChrominanceAcSpec, tables.chrominanceAc);
  });
  return tables;
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

void EncodeBlock(CustomJpegState& state, const int16_t* block, int16_t& predictor,
                 const HuffCodePair& tables) {
  int16_t* zigzag = state.zigzagBlock;
  for (int k = 0; k < 64; ++k) zigzag[k] = block[kZigZagToNatural[k]];

  uint32_t* pending = state.pendingSymbols;
  int count = 0;

  // DC difference in 16 bits, then the predictor takes this block's DC.
  int diff = static_cast<int16_t>(zigzag[0] - predictor);
  predictor = zigzag[0];
  if (diff == 0) {
    pending[count++] = tables.dc->entry[0];
  } else {
    int size = BitLength(static_cast<uint32_t>(diff < 0 ? -diff : diff));
    if (size > kMaxDcSize) {
      diff = ClampToSize(diff, kMaxDcSize);
      size = kMaxDcSize;
    }
    pending[count++] = tables.dc->entry[size];
    pending[count++] = ValueEntry(diff, size);
  }

  // AC: jump from one nonzero coefficient to the next.
  uint64_t nonzero = NonzeroMask(zigzag) & ~uint64_t{1};
  int previous = 0;
  while (nonzero != 0) {
    const int k = __builtin_ctzll(nonzero);
    nonzero &= nonzero - 1;
    int run = k - previous - 1;
    while (run >= 16) {
      pending[count++] = tables.ac->entry[kZrlSymbol];
      run -= 16;
    }
    int v = zigzag[k];
    int size = BitLength(static_cast<uint32_t>(v < 0 ? -v : v));
    if (size > kMaxAcSize) {
      v = ClampToSize(v, kMaxAcSize);
      size = kMaxAcSize;
    }
    pending[count++] = tables.ac->entry[(run << 4) | size];
    pending[count++] = ValueEntry(v, size);
    previous = k;
  }
  if (previous != 63) pending[count++] = tables.ac->entry[kEobSymbol];

  for (int i = 0; i < count; ++i) EmitBits(pending[i], state);
}

}  // namespace jpeg
