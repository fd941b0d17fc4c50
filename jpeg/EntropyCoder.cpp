#include "EntropyCoder.h"

#include <emmintrin.h>

#include <atomic>
#include <cstring>
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

// 0x80 in each byte of v that is 0xFF, 0 elsewhere (exact: a byte's low
// seven bits plus one carry into its top bit only when they are all ones).
inline uint32_t FfBytes(uint32_t v) { return ((v & 0x7F7F7F7Fu) + 0x01010101u) & v & 0x80808080u; }

inline void StoreBigEndian32(uint8_t* p, uint32_t v) {
  const uint32_t swapped = __builtin_bswap32(v);
  std::memcpy(p, &swapped, 4);
}

// The bit writer of EmitBits with its state held in registers: it writes
// the same 32-bit groups at the same points (whenever 32 or more bits are
// pending the oldest 32 go out), so the bytes, and the state left behind
// (fewer than 32 bits), equal EmitBits' exactly.
//
// Whether a group is due depends on the data, one coefficient in three or
// four on dense content, which a branch would mispredict. So every Put
// stores the candidate group at `out` and advances `out` by 4 only when the
// group was due; a store that was not due is overwritten by a later one.
// The writer therefore stores up to 4 bytes past the coded data: its output
// needs that much room beyond the longest code (the strip buffer has it).
//
// The writer writes groups unstuffed; EncodeBlock and EncodeStripBlocks
// stuff their bytes once coded (StuffFfBytes), so the per-coefficient path
// has no 0xFF test at all.
struct FastBitWriter {
  uint8_t* out;
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint64_t buffer;  // pending bits in the low `count` bits; bits above are stale
  uint32_t count;

  // Appends the low `length` bits of `bits` (1 <= length <= 27, bits above zero).
  inline __attribute__((always_inline)) void Put(uint32_t bits, uint32_t length) {
    buffer = (buffer << length) | bits;
    count += length;  // at most 31 + 27 < 64: the pending bits fit the buffer
    Emit(static_cast<uint32_t>(buffer >> (count & 31)));
  }
#else
  // 32-bit x86 has too few general registers for a 64-bit buffer and the
  // loop's other values: the buffer lives in the low 64 bits of a vector
  // register, where one shift moves all of it.
  __m128i buffer;  // pending bits in the low `count` bits; bits above are stale
  uint32_t count;

  inline __attribute__((always_inline)) void Put(uint32_t bits, uint32_t length) {
    buffer = _mm_or_si128(_mm_sll_epi64(buffer, _mm_cvtsi32_si128(static_cast<int>(length))),
                          _mm_cvtsi32_si128(static_cast<int>(bits)));
    count += length;
    Emit(static_cast<uint32_t>(
        _mm_cvtsi128_si32(_mm_srl_epi64(buffer, _mm_cvtsi32_si128(static_cast<int>(count & 31))))));
  }
#endif

  // `group` is the oldest 32 pending bits when count >= 32.
  inline __attribute__((always_inline)) void Emit(uint32_t group) {
    const uint32_t due = count >> 5;  // 0 or 1
    count &= 31;
    StoreBigEndian32(out, group);
    out += due * 4;
  }
};

// Inserts a 0x00 after every 0xFF byte of the unstuffed groups in
// [begin, end) (a multiple of 4 bytes), moving what follows up; returns the
// new end. The bytes from `end` up to the stuffed end must be writable.
// Dense blocks have an 0xFF byte in about one block in seven, so the scan
// comes first and the byte-wise move only from the first 0xFF.
__attribute__((noinline)) uint8_t* StuffFfBytesFrom(uint8_t* begin, uint8_t* end) {
  uint8_t* first = begin;
  const __m128i ones = _mm_set1_epi8(-1);
  for (; end - first >= 16; first += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, ones)) != 0) break;
  }
  for (;; first += 4) {
    if (first == end) return end;
    uint32_t word;
    std::memcpy(&word, first, 4);
    if (FfBytes(word) != 0) break;
  }
  size_t count = 0;
  for (const uint8_t* p = first; p != end; ++p) count += *p == 0xFF;
  // From the end down, a word at a time ((end - first) is a multiple of 4);
  // only words with an 0xFF byte go byte by byte.
  uint8_t* to = end + count;
  for (const uint8_t* from = end; from != first && to != from;) {
    from -= 4;
    uint32_t word;
    std::memcpy(&word, from, 4);
    if (FfBytes(word) == 0) {
      to -= 4;
      std::memcpy(to, &word, 4);
      continue;
    }
    for (int i = 3; i >= 0; --i) {
      if (from[i] == 0xFF) *--to = 0x00;
      *--to = from[i];
    }
  }
  return end + count;
}

inline uint8_t* StuffFfBytes(uint8_t* begin, uint8_t* end) {
  return begin == end ? end : StuffFfBytesFrom(begin, end);
}

inline FastBitWriter StartWriter(const CustomJpegState& state) {
#if UINTPTR_MAX > 0xFFFFFFFFu
  return {state.output + state.outputLength, state.bitBuffer, state.bitCount};
#else
  return {state.output + state.outputLength, _mm_cvtsi32_si128(static_cast<int>(state.bitBuffer)),
          state.bitCount};
#endif
}

inline void FinishWriter(const FastBitWriter& w, CustomJpegState& state) {
#if UINTPTR_MAX > 0xFFFFFFFFu
  const uint32_t low = static_cast<uint32_t>(w.buffer);
#else
  const uint32_t low = static_cast<uint32_t>(_mm_cvtsi128_si32(w.buffer));
#endif
  state.outputLength = static_cast<int32_t>(w.out - state.output);
  state.bitBuffer = low & static_cast<uint32_t>((uint64_t{1} << w.count) - 1);
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
  const uint32_t length = entry & 0xFFFF;
  writer.Put((code << size) + static_cast<uint32_t>(v + s), length + static_cast<uint32_t>(size));
}

// Bit length of |v| for |v| < 2^30, 0 for v = 0, without a branch.
inline int MagnitudeSize(int v) {
  const uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v);
  return 31 - __builtin_clz(2 * a + 1);
}

// AC code entries with the value's size folded in, for dense blocks:
// entry[run << 4 | size] = (code << size) << 5 | (length + size), so that
// one load gives the code already shifted over the value bits and the
// length of both together (at most 16 + 10 = 26 bits, 31 with the length).
struct SizedAcTable {
  uint32_t entry[256];
};

// Size category and additional bits of each coefficient of a block, by
// natural position, AC values clamped to kMaxAcSize as CodeBlock clamps them.
struct CodedCoefficients {
  uint16_t bits[64];
  uint8_t size[64];
};

// Eight coefficients per step: the size is the exponent of |v| converted to
// float, less 126 (0 for v = 0); the additional bits are |v| for v > 0 and
// |v| with its low `size` bits inverted (v - 1 in two's complement) for
// v < 0, the inverting mask being |v| with its top bit smeared downwards.
__attribute__((noinline)) void SizesAndBits(const int16_t* natural, CodedCoefficients& out) {
  const __m128i limit = _mm_set1_epi16((1 << kMaxAcSize) - 1);
  const __m128i negativeLimit = _mm_set1_epi16(-((1 << kMaxAcSize) - 1));
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(126);
  for (int i = 0; i < 64; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(natural + i));
    v = _mm_max_epi16(_mm_min_epi16(v, limit), negativeLimit);
    const __m128i sign = _mm_srai_epi16(v, 15);
    const __m128i a = _mm_sub_epi16(_mm_xor_si128(v, sign), sign);
    const __m128i exponentLow = _mm_srli_epi32(
        _mm_castps_si128(_mm_cvtepi32_ps(_mm_unpacklo_epi16(a, zero))), 23);
    const __m128i exponentHigh = _mm_srli_epi32(
        _mm_castps_si128(_mm_cvtepi32_ps(_mm_unpackhi_epi16(a, zero))), 23);
    const __m128i size = _mm_subs_epu16(_mm_packs_epi32(exponentLow, exponentHigh), bias);
    __m128i smear = _mm_or_si128(a, _mm_srli_epi16(a, 1));
    smear = _mm_or_si128(smear, _mm_srli_epi16(smear, 2));
    smear = _mm_or_si128(smear, _mm_srli_epi16(smear, 4));
    smear = _mm_or_si128(smear, _mm_srli_epi16(smear, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.bits + i),
                     _mm_xor_si128(a, _mm_and_si128(smear, sign)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out.size + i), _mm_packus_epi16(size, size));
  }
}

// Size category (high 16 bits) and additional bits (low 16 bits) of every
// AC value the tables code, -1023 .. 1023, for the sparse path: one load
// instead of a bit scan and a mask per coefficient.
constexpr int kAcLimit = (1 << kMaxAcSize) - 1;
struct AcValueCodes {
  uint32_t entry[2 * kAcLimit + 1];
  AcValueCodes() {
    for (int v = -kAcLimit; v <= kAcLimit; ++v) {
      const int size = MagnitudeSize(v);
      entry[v + kAcLimit] = static_cast<uint32_t>(size) << 16 |
                            (static_cast<uint32_t>(v + (v >> 31)) & ((1u << size) - 1));
    }
  }
};
const AcValueCodes kAcValueCodes;

// Blocks with a nonzero coefficient beyond this zig-zag index take sizes
// and value bits from SizesAndBits; the others look them up one coefficient
// at a time, which costs less than the 64-coefficient pass for the few
// coefficients they have. On natural content a high-frequency coefficient
// rarely comes alone, and the test costs one shift where a count of the
// mask's bits (no POPCNT in the baseline sets) costs a dozen instructions.
constexpr int kSparseLastIndex = 27;

// The AC coefficients whose bits are set in `nonzero` (bit 0 ignored), each
// after the ZRLs its zero run needs; returns the zig-zag index of the last.
template <bool kDense>
inline __attribute__((always_inline)) int CodeAc(FastBitWriter& writer, const int16_t* natural,
                                                 const uint32_t* ac, const SizedAcTable& sized,
                                                 uint64_t nonzero) {
  // Out of line, and unaligned stores: the coder itself keeps no vector
  // values, so the 32-bit build needs no realigned frame for them.
  CodedCoefficients coded;
  if constexpr (kDense) SizesAndBits(natural, coded);
  int previous = 0;
  auto codeAc = [&](int k) __attribute__((always_inline)) {
    uint32_t run = static_cast<uint32_t>(k - previous - 1);
    previous = k;
    if (__builtin_expect(run >= 16, 0)) {
      const uint32_t zrl = ac[kZrlSymbol];
      do {
        writer.Put(zrl >> 16, zrl & 0xFFFF);
        run -= 16;
      } while (run >= 16);
    }
    const int n = kZigZagToNatural[k];
    uint32_t size, bits;
    if constexpr (kDense) {
      size = coded.size[n];
      bits = coded.bits[n];
    } else {
      // Values past the coder's range are clamped to it; natural content
      // never gets there, so one predicted test replaces two clamps.
      const int v = natural[n];
      uint32_t index = static_cast<uint32_t>(v + kAcLimit);
      if (__builtin_expect(index > 2 * kAcLimit, 0)) index = v < 0 ? 0 : 2 * kAcLimit;
      const uint32_t c = kAcValueCodes.entry[index];
      size = c >> 16;
      bits = c & 0xFFFF;
    }
    const uint32_t entry = sized.entry[(run << 4) + size];
    writer.Put((entry >> 5) | bits, entry & 31);
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
  return previous;
}

// One block: DC difference, then the nonzero AC coefficients in zig-zag order
// (only those whose bit is set in `nonzero`), then EOB unless index 63 is
// coded. Same symbols, in the same order, as the pending-list coder.
inline __attribute__((always_inline)) void CodeBlock(FastBitWriter& writer, const int16_t* natural,
                                                     int16_t& predictor, const uint32_t* dc,
                                                     const uint32_t* ac, const SizedAcTable& sized,
                                                     uint64_t nonzero) {
  int diff = static_cast<int16_t>(natural[0] - predictor);
  predictor = natural[0];
  int size = MagnitudeSize(diff);
  if (__builtin_expect(size > kMaxDcSize, 0)) {
    diff = ClampToSize(diff, kMaxDcSize);
    size = kMaxDcSize;
  }
  PutCoded(writer, dc[size], diff, size);

  const uint32_t eob = ac[kEobSymbol];
  if ((nonzero & ~uint64_t{1}) == 0) {
    writer.Put(eob >> 16, eob & 0xFFFF);
    return;
  }
  const int previous = (nonzero >> (kSparseLastIndex + 1)) != 0
                           ? CodeAc<true>(writer, natural, ac, sized, nonzero)
                           : CodeAc<false>(writer, natural, ac, sized, nonzero);
  if (previous != 63) writer.Put(eob >> 16, eob & 0xFFFF);
}

inline uint64_t KeepMask(int lastAcIndex) {
  return lastAcIndex >= 63 ? ~uint64_t{0} : (uint64_t{1} << (lastAcIndex + 1)) - 1;
}

// The process-wide code tables (zero until GetStandardCodeTables builds them).
// At namespace scope so that their addresses are constants: the 32-bit
// strip coder then needs no register for them.
StandardCodeTables s_codeTables;
SizedAcTable s_sizedLuminanceAc, s_sizedChrominanceAc;

void BuildSizedAcTable(const HuffCodeTable& codes, SizedAcTable& sized) {
  for (uint32_t symbol = 0; symbol < 256; ++symbol) {
    const uint32_t size = symbol & 15;
    const uint32_t entry = codes.entry[symbol];
    sized.entry[symbol] = ((entry >> 16) << size) << 5 | ((entry & 0xFFFF) + size);
  }
}

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
    BuildSizedAcTable(s_codeTables.luminanceAc, s_sizedLuminanceAc);
    BuildSizedAcTable(s_codeTables.chrominanceAc, s_sizedChrominanceAc);
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
  const StandardCodeTables& standard = GetStandardCodeTables();
  SizedAcTable own;
  const SizedAcTable* sized = &own;
  if (tables.ac == &standard.luminanceAc)
    sized = &s_sizedLuminanceAc;
  else if (tables.ac == &standard.chrominanceAc)
    sized = &s_sizedChrominanceAc;
  else
    BuildSizedAcTable(*tables.ac, own);
  FastBitWriter writer = StartWriter(state);
  uint8_t* const start = writer.out;
  CodeBlock(writer, block, predictor, tables.dc->entry, tables.ac->entry, *sized,
            ZigZagNonzeroMask(block));
  writer.out = StuffFfBytes(start, writer.out);
  FinishWriter(writer, state);
}

void EncodeStripBlocks(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex) {
  GetStandardCodeTables();  // built once; s_codeTables from here on
  const uint64_t keep = KeepMask(lastAcIndex);
  int16_t yPredictor = 0, cbPredictor = 0, crPredictor = 0;
  FastBitWriter writer = StartWriter(state);
  uint8_t* const start = writer.out;
  for (int m = 0; m < 4; ++m) {
    CodeBlock(writer, blocks.block[3 * m], yPredictor, s_codeTables.luminanceDc.entry,
              s_codeTables.luminanceAc.entry, s_sizedLuminanceAc, blocks.nonzero[3 * m] & keep);
    CodeBlock(writer, blocks.block[3 * m + 1], cbPredictor, s_codeTables.chrominanceDc.entry,
              s_codeTables.chrominanceAc.entry, s_sizedChrominanceAc, blocks.nonzero[3 * m + 1] & keep);
    CodeBlock(writer, blocks.block[3 * m + 2], crPredictor, s_codeTables.chrominanceDc.entry,
              s_codeTables.chrominanceAc.entry, s_sizedChrominanceAc, blocks.nonzero[3 * m + 2] & keep);
  }
  writer.out = StuffFfBytes(start, writer.out);
  FinishWriter(writer, state);
}

}  // namespace jpeg
