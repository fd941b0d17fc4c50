#include "EntropyCoder.h"

#include <emmintrin.h>

#include <atomic>
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

inline int ClampToSize(int v, int maxSize) {
  const int limit = (1 << maxSize) - 1;
  return v > limit ? limit : (v < -limit ? -limit : v);
}

inline void PutByte(CustomJpegState& state, uint8_t byte) {
  state.output[state.outputLength++] = byte;
  if (byte == 0xFF) state.output[state.outputLength++] = 0x00;
}

// Zig-zag positions of the bits of one byte of a natural-order bit mask:
// kZigZagBits[j][m] has bit Z(8j + i) set for every bit i set in m.
struct ZigZagBitTables {
  uint64_t bits[8][256];
  ZigZagBitTables() : bits() {
    for (int j = 0; j < 8; ++j)
      for (int m = 0; m < 256; ++m)
        for (int i = 0; i < 8; ++i)
          if (m >> i & 1) bits[j][m] |= uint64_t{1} << kNaturalToZigZag[8 * j + i];
  }
};
const ZigZagBitTables kZigZagBits;

// True when one of the four bytes of v is 0xFF (exact: a byte's low seven
// bits plus one carry into its top bit only when they are all ones).
inline bool HasFfByte(uint32_t v) {
  return (((v & 0x7F7F7F7Fu) + 0x01010101u) & v & 0x80808080u) != 0;
}

// The bit writer of EmitBits with a 64-bit accumulator held in registers:
// it writes the same 32-bit groups at the same points (whenever 32 or more
// bits are pending the oldest 32 go out), so the bytes, and the state left
// behind (fewer than 32 bits), equal EmitBits' exactly. A group without a
// 0xFF byte is stored without per-byte tests. Plain struct of locals so the
// compiler keeps it in registers across a whole strip.
struct FastBitWriter {
  uint8_t* out;
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint64_t buffer;  // pending bits in the low `count` bits; bits above are stale
  int count;

  // Appends the low `length` bits of `bits` (length <= 27, bits above zero).
  inline __attribute__((always_inline)) void Put(uint32_t bits, int length) {
    buffer = (buffer << length) | bits;
    count += length;
    if (count >= 32) {
      count -= 32;
      WriteGroup(static_cast<uint32_t>(buffer >> count));
    }
  }
#else
  // 32-bit registers: the same groups from a 32-bit buffer. Bits above
  // `count` are stale; every shift that forms a group pushes them out.
  uint32_t buffer;
  int count;

  inline __attribute__((always_inline)) void Put(uint32_t bits, int length) {
    const int free = 32 - count;
    if (length < free) {
      buffer = (buffer << length) | bits;
      count += length;
      return;
    }
    // count > 0 here (length <= 27 < 32), so free < 32 and the shifts are defined.
    const int rest = length - free;
    WriteGroup((buffer << free) | (bits >> rest));
    buffer = bits;
    count = rest;
  }
#endif

  inline __attribute__((always_inline)) void WriteGroup(uint32_t group) {
    if (__builtin_expect(!HasFfByte(group), 1)) {
      out[0] = static_cast<uint8_t>(group >> 24);
      out[1] = static_cast<uint8_t>(group >> 16);
      out[2] = static_cast<uint8_t>(group >> 8);
      out[3] = static_cast<uint8_t>(group);
      out += 4;
      return;
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
      const uint8_t byte = static_cast<uint8_t>(group >> shift);
      *out++ = byte;
      if (byte == 0xFF) *out++ = 0x00;
    }
  }
};

inline FastBitWriter StartWriter(const CustomJpegState& state) {
  return {state.output + state.outputLength, state.bitBuffer, state.bitCount};
}

inline void FinishWriter(const FastBitWriter& w, CustomJpegState& state) {
  state.outputLength = static_cast<int32_t>(w.out - state.output);
  state.bitBuffer =
      static_cast<uint32_t>(w.buffer) & static_cast<uint32_t>((uint64_t{1} << w.count) - 1);
  state.bitCount = static_cast<uint8_t>(w.count);
}

// Code entry plus the value's additional bits as one bit string. The
// additional bits are v when positive and the low `size` bits of v - 1 when
// negative, that is v - 1 + 2^size; with s = -1 for negative v and 0
// otherwise, code << size | bits = ((code - s) << size) + (v + s), which
// needs no mask (and gives just the code for size 0, v = 0).
inline __attribute__((always_inline)) void PutCoded(FastBitWriter& writer, uint32_t entry, int v,
                                                    int size) {
  const int s = v >> 31;
  const uint32_t code = (entry >> 16) - static_cast<uint32_t>(s);
  const int length = static_cast<int>(entry & 0xFFFF);
  writer.Put((code << size) + static_cast<uint32_t>(v + s), length + size);
}

// Bit length of |v| for |v| < 2^30, 0 for v = 0, without a branch.
inline int MagnitudeSize(int v) {
  const uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v);
  return 31 - __builtin_clz(2 * a + 1);
}

// One block: DC difference, then the nonzero AC coefficients in zig-zag order
// (only those whose bit is set in `keep`), then EOB unless index 63 is
// coded. Same symbols, in the same order, as the pending-list coder.
inline __attribute__((always_inline)) void CodeBlock(FastBitWriter& writer, const int16_t* natural,
                                                     int16_t& predictor, const uint32_t* dc,
                                                     const uint32_t* ac, uint64_t nonzero) {
  int diff = static_cast<int16_t>(natural[0] - predictor);
  predictor = natural[0];
  int size = MagnitudeSize(diff);
  if (__builtin_expect(size > kMaxDcSize, 0)) {
    diff = ClampToSize(diff, kMaxDcSize);
    size = kMaxDcSize;
  }
  PutCoded(writer, dc[size], diff, size);

  int previous = 0;
  auto codeAc = [&](int k) __attribute__((always_inline)) {
    int run = k - previous - 1;
    previous = k;
    if (__builtin_expect(run >= 16, 0)) {
      do {
        writer.Put(ac[kZrlSymbol] >> 16, static_cast<int>(ac[kZrlSymbol] & 0xFFFF));
        run -= 16;
      } while (run >= 16);
    }
    int v = natural[kZigZagToNatural[k]];
    int size = MagnitudeSize(v);
    if (__builtin_expect(size > kMaxAcSize, 0)) {
      v = ClampToSize(v, kMaxAcSize);
      size = kMaxAcSize;
    }
    PutCoded(writer, ac[(run << 4) | size], v, size);
  };
#if UINTPTR_MAX > 0xFFFFFFFFu
  for (uint64_t bits = nonzero & ~uint64_t{1}; bits != 0; bits &= bits - 1)
    codeAc(__builtin_ctzll(bits));
#else
  // Two 32-bit halves: a 64-bit bit scan costs a branch of its own here.
  for (uint32_t bits = static_cast<uint32_t>(nonzero) & ~1u; bits != 0; bits &= bits - 1)
    codeAc(__builtin_ctz(bits));
  for (uint32_t bits = static_cast<uint32_t>(nonzero >> 32); bits != 0; bits &= bits - 1)
    codeAc(32 + __builtin_ctz(bits));
#endif
  if (previous != 63) writer.Put(ac[kEobSymbol] >> 16, static_cast<int>(ac[kEobSymbol] & 0xFFFF));
}

inline uint64_t KeepMask(int lastAcIndex) {
  return lastAcIndex >= 63 ? ~uint64_t{0} : (uint64_t{1} << (lastAcIndex + 1)) - 1;
}

// The process-wide code tables (zero until GetStandardCodeTables builds them).
// At namespace scope so that their addresses are constants: the 32-bit
// strip coder then needs no register for them.
StandardCodeTables s_codeTables;

}  // namespace

// The zero tests run on the natural-order block, 16 coefficients per step
// (one vector compare and byte mask per 8); a byte-wise table maps the mask
// to zig-zag order, so the coefficients themselves are never reordered.
uint64_t ZigZagNonzeroMask(const int16_t* natural) {
  const __m128i zero = _mm_setzero_si128();
  uint64_t nonzero = 0;
  for (int group = 0; group < 4; ++group) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(natural + 16 * group));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(natural + 16 * group + 8));
    const __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    const uint32_t bits = ~static_cast<uint32_t>(_mm_movemask_epi8(eq));
    nonzero |= kZigZagBits.bits[2 * group][bits & 0xFF] |
               kZigZagBits.bits[2 * group + 1][(bits >> 8) & 0xFF];
  }
  return nonzero;
}

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
  static std::atomic<bool> ready{false};
  if (ready.load(std::memory_order_acquire)) return s_codeTables;
  static std::once_flag built;
  std::call_once(built, [] {
    BuildCodeTable(kLuminanceDcDef, s_codeTables.luminanceDc);
    BuildCodeTable(kLuminanceAcDef, s_codeTables.luminanceAc);
    BuildCodeTable(kChrominanceDcDef, s_codeTables.chrominanceDc);
    BuildCodeTable(kChrominanceAcDef, s_codeTables.chrominanceAc);
    ready.store(true, std::memory_order_release);
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

void EncodeBlock(CustomJpegState& state, const int16_t* block, int16_t& predictor,
                 const HuffCodePair& tables) {
  FastBitWriter writer = StartWriter(state);
  CodeBlock(writer, block, predictor, tables.dc->entry, tables.ac->entry, ZigZagNonzeroMask(block));
  FinishWriter(writer, state);
}

void EncodeStripBlocks(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex) {
  GetStandardCodeTables();  // built once; s_codeTables from here on
  const uint64_t keep = KeepMask(lastAcIndex);
  int16_t yPredictor = 0, cbPredictor = 0, crPredictor = 0;
  FastBitWriter writer = StartWriter(state);
  for (int m = 0; m < 4; ++m) {
    CodeBlock(writer, blocks.block[3 * m], yPredictor, s_codeTables.luminanceDc.entry,
              s_codeTables.luminanceAc.entry, blocks.nonzero[3 * m] & keep);
    CodeBlock(writer, blocks.block[3 * m + 1], cbPredictor, s_codeTables.chrominanceDc.entry,
              s_codeTables.chrominanceAc.entry, blocks.nonzero[3 * m + 1] & keep);
    CodeBlock(writer, blocks.block[3 * m + 2], crPredictor, s_codeTables.chrominanceDc.entry,
              s_codeTables.chrominanceAc.entry, blocks.nonzero[3 * m + 2] & keep);
  }
  FinishWriter(writer, state);
}

}  // namespace jpeg
