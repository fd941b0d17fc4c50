// The block coder of EntropyCoder.h as templates over a kernel set's vector
// helpers, so that each set instantiates it with its own (the scalar set with
// plain C++). Included by EntropyCoder.cpp and every kernel unit, the AVX2
// one too: every function and template here sits in an unnamed namespace,
// so each unit compiles its own copy and none has external linkage. A copy
// the linker could share would let it keep the AVX2 unit's for every
// caller, and so run AVX2 code on processors without it. Only the types
// and the tables built once (EntropyCoder.cpp) are shared.
//
// Ops provides:
//   BitBuffer                the bit writer's buffer (IntegerBitBuffer or a vector one)
//   SizesAndBits(natural, coded)   sizes and value bits of a dense block
//   SkipWithoutFf(begin, end)      the first group of [begin, end) (the set's
//                                  vector width) that may hold an 0xFF byte,
//                                  or the tail
//   NonzeroMask(natural)           ZigZagNonzeroMask
#pragma once
#define SKY_JPEG_BLOCK_CODER_H

#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "CustomJpegState.h"
#include "EntropyCoder.h"

namespace jpeg {
namespace block_coder {

constexpr int kZrlSymbol = 0xF0;
constexpr int kEobSymbol = 0x00;

// With 8-bit samples and the fixed quality-90 tables, DC differences need at
// most 11 bits and AC coefficients at most 10 (|AC| <= 21933 / 22 < 1024: the
// DCT output bound over the smallest AC divisor). Those are the largest sizes
// the standard tables have codes for. Should a value ever exceed them, it is
// clamped so the stream stays decodable instead of losing its code.
constexpr int kMaxDcSize = 11;
constexpr int kMaxAcSize = 10;

// A component's code entries with the value's size folded in: each holds
// the code shifted over the value bits, code << size, and the length of
// both together (at most 16 + 11 = 27 bits), so that two loads from one
// entry replace a shift and an addition. entry[size] is the DC code of
// `size` (0 .. 11) and entry[(run + 1) << 4 | size] the AC code of
// run << 4 | size: the coder indexes AC codes by the distance from the
// previous coefficient, run + 1. EOB and ZRL (size 0) are entries 16 and
// 256, their codes as they are.
struct SizedCode {
  uint32_t code;
  uint32_t length;
};
struct SizedCodeTable {
  SizedCode entry[16 + 256];
};

// Size category and additional bits of each coefficient of a block, by
// natural position, AC values clamped to kMaxAcSize as CodeBlock clamps them.
struct CodedCoefficients {
  uint16_t bits[64];
  uint8_t size[64];
};

// Size category and additional bits of every 16-bit value as an AC
// coefficient, indexed by the value's two's complement bits, for the sparse
// path: two loads from one entry instead of a bit scan, a mask and a range
// test per coefficient. Values beyond +-1023 get the codes of +-1023, as
// CodeBlock clamps them. The DC difference takes its size from the same
// entry. Only the entries of small values are ever hot.
struct AcValueCode {
  uint16_t bits;
  uint8_t size;
  uint8_t fullSize;  // the unclamped value's size, 0 .. 16 (DC differences)
};
struct AcValueCodes {
  AcValueCode entry[65536];
};

// The process-wide code tables (EntropyCoder.cpp; zero until
// GetStandardCodeTables builds them, on first use rather than at static
// initialisation, which another unit's may precede). At namespace scope so
// that their addresses are constants: the 32-bit strip coder then needs no
// register for them.
extern StandardCodeTables s_codeTables;
extern SizedCodeTable s_sizedLuminance, s_sizedChrominance;
extern AcValueCodes s_acValueCodes;
void BuildSizedCodeTable(const HuffCodePair& codes, SizedCodeTable& sized);
// Set once the tables above are built; read and written with the compiler's
// atomic builtins, which expand in place: std::atomic's member functions are
// shared inline code that an unoptimised AVX2 unit would define.
extern bool s_codeTablesReady;

// Everything below is compiled into each unit that includes this header
// (see the top of the file).
namespace {

inline int ClampToSize(int v, int maxSize) {
  const int limit = (1 << maxSize) - 1;
  return v > limit ? limit : (v < -limit ? -limit : v);
}

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
template <class Buffer>
struct FastBitWriter {
  uint8_t* out;
  typename Buffer::Type buffer;  // pending bits in the low `count` bits; bits above are stale
  uint32_t count;

  // Appends the low `length` bits of `bits` (1 <= length <= 27, bits above zero).
  inline __attribute__((always_inline)) void Put(uintptr_t bits, uint32_t length) {
    buffer = Buffer::Append(buffer, bits, length);
    count += length;  // at most 31 + 27 < 64: the pending bits fit the buffer
    Emit(Buffer::Group(buffer, count & 31));
  }

  // `group` is the oldest 32 pending bits when count >= 32.
  inline __attribute__((always_inline)) void Emit(uint32_t group) {
    const uintptr_t due = count >> 5;  // 0 or 1
    count &= 31;
    StoreBigEndian32(out, group);
    out += due * 4;
  }
};

// The bit buffer in a 64-bit integer: one register in the 64-bit build.
struct IntegerBitBuffer {
  using Type = uint64_t;
  static inline __attribute__((always_inline)) Type Make(uint32_t bits) { return bits; }
  static inline __attribute__((always_inline)) Type Append(Type b, uint64_t bits, uint32_t length) {
    return (b << length) | bits;
  }
  static inline __attribute__((always_inline)) uint32_t Group(Type b, uint32_t shift) {
    return static_cast<uint32_t>(b >> shift);
  }
  static inline __attribute__((always_inline)) uint32_t Low(Type b) { return static_cast<uint32_t>(b); }
};

// 32-bit x86 has too few general registers for a 64-bit buffer and the
// coder's other values: the vector sets keep the buffer in the low 64 bits
// of a vector register there, where one shift moves all of it.
struct VectorBitBuffer {
  using Type = __m128i;
  static inline __attribute__((always_inline)) Type Make(uint32_t bits) {
    return _mm_cvtsi32_si128(static_cast<int>(bits));
  }
  static inline __attribute__((always_inline)) Type Append(Type b, uint32_t bits, uint32_t length) {
    return _mm_or_si128(_mm_sll_epi64(b, _mm_cvtsi32_si128(static_cast<int>(length))),
                        _mm_cvtsi32_si128(static_cast<int>(bits)));
  }
  static inline __attribute__((always_inline)) uint32_t Group(Type b, uint32_t shift) {
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srl_epi64(b, _mm_cvtsi32_si128(static_cast<int>(shift)))));
  }
  static inline __attribute__((always_inline)) uint32_t Low(Type b) {
    return static_cast<uint32_t>(_mm_cvtsi128_si32(b));
  }
};
#if UINTPTR_MAX > 0xFFFFFFFFu
using VectorSetBitBuffer = IntegerBitBuffer;
#else
using VectorSetBitBuffer = VectorBitBuffer;
#endif

// Inserts a 0x00 after every 0xFF byte of the unstuffed groups in
// [begin, end) (a multiple of 4 bytes), moving what follows up; returns the
// new end. The bytes from `end` up to the stuffed end must be writable.
// Dense blocks have an 0xFF byte in about one block in seven, so the scan
// comes first and the byte-wise move only from the first 0xFF.
template <class Ops>
__attribute__((noinline)) uint8_t* StuffFfBytesFrom(uint8_t* begin, uint8_t* end) {
  uint8_t* first = Ops::SkipWithoutFf(begin, end);
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

template <class Ops>
inline uint8_t* StuffFfBytes(uint8_t* begin, uint8_t* end) {
  return begin == end ? end : StuffFfBytesFrom<Ops>(begin, end);
}

template <class Ops>
inline FastBitWriter<typename Ops::BitBuffer> StartWriter(const CustomJpegState& state) {
  return {state.output + state.outputLength, Ops::BitBuffer::Make(state.bitBuffer), state.bitCount};
}

template <class Buffer>
inline void FinishWriter(const FastBitWriter<Buffer>& w, CustomJpegState& state) {
  const uint32_t low = Buffer::Low(w.buffer);
  state.outputLength = static_cast<int32_t>(w.out - state.output);
  state.bitBuffer = low & static_cast<uint32_t>((uint64_t{1} << w.count) - 1);
  state.bitCount = static_cast<uint8_t>(w.count);
}

// Bit length of |v| for |v| < 2^30, 0 for v = 0, without a branch.
inline int MagnitudeSize(int v) {
  const uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v);
  return 31 - __builtin_clz(2 * a + 1);
}

// Blocks with a nonzero coefficient beyond this zig-zag index take sizes
// and value bits from SizesAndBits; the others look them up one coefficient
// at a time, which costs less than the 64-coefficient pass for the few
// coefficients they have. On natural content a high-frequency coefficient
// rarely comes alone, and the test costs one shift where a count of the
// mask's bits (no POPCNT in the baseline sets) costs a dozen instructions.
constexpr int kSparseLastIndex = 27;

// The AC coefficients whose bits are set in `nonzero` (bit 0 ignored), each
// after the ZRLs its zero run needs; returns the zig-zag index of the last.
template <bool kDense, class Ops, class Writer>
inline __attribute__((always_inline)) int CodeAc(Writer& writer, const int16_t* natural, const SizedCodeTable& sized,
                                                 uint64_t nonzero) {
  // Out of line, and unaligned stores: the coder itself keeps no vector
  // values, so the 32-bit build needs no realigned frame for them.
  CodedCoefficients coded;
  if constexpr (kDense) Ops::SizesAndBits(natural, coded);
  // Pointer-sized indices: no sign or zero extension per coefficient.
  uintptr_t previous = 0;
  auto codeAc = [&](uintptr_t k) __attribute__((always_inline)) {
    uintptr_t gap = k - previous;  // the zero run plus one
    previous = k;
    if (__builtin_expect(gap > 16, 0)) {
      const SizedCode& zrl = sized.entry[16 + kZrlSymbol];
      do {
        writer.Put(zrl.code, zrl.length);
        gap -= 16;
      } while (gap > 16);
    }
    const uintptr_t n = kZigZagToNatural[k];
    uintptr_t size;
    uintptr_t bits;
    if constexpr (kDense) {
      size = coded.size[n];
      bits = coded.bits[n];
    } else {
      const AcValueCode& c = s_acValueCodes.entry[static_cast<uint16_t>(natural[n])];
      size = c.size;
      bits = c.bits;
    }
    const SizedCode& entry = sized.entry[(gap << 4) + size];
    writer.Put(uintptr_t{entry.code} | bits, entry.length);
  };
#if UINTPTR_MAX > 0xFFFFFFFFu
  for (uint64_t bits = nonzero & ~uint64_t{1}; bits != 0; bits &= bits - 1)
    codeAc(static_cast<uint32_t>(__builtin_ctzll(bits)));
#else
  // Two 32-bit halves: a 64-bit bit scan costs a branch of its own here.
  for (uint32_t bits = static_cast<uint32_t>(nonzero) & ~1u; bits != 0; bits &= bits - 1) codeAc(__builtin_ctz(bits));
  for (uint32_t bits = static_cast<uint32_t>(nonzero >> 32); bits != 0; bits &= bits - 1)
    codeAc(32 + __builtin_ctz(bits));
#endif
  return static_cast<int>(previous);
}

// One block: DC difference, then the nonzero AC coefficients in zig-zag order
// (only those whose bit is set in `nonzero`), then EOB unless index 63 is
// coded. Same symbols, in the same order, as the pending-list coder.
template <class Ops, class Writer>
inline __attribute__((always_inline)) void CodeBlock(Writer& writer, const int16_t* natural, int16_t& predictor,
                                                     const SizedCodeTable& sized, uint64_t nonzero) {
  const int diff = static_cast<int16_t>(natural[0] - predictor);
  predictor = natural[0];
  // Up to kMaxAcSize bits the value table's bits are the difference's own.
  const AcValueCode& value = s_acValueCodes.entry[static_cast<uint16_t>(diff)];
  if (__builtin_expect(value.fullSize <= kMaxAcSize, 1)) {
    const SizedCode& code = sized.entry[value.fullSize];
    writer.Put(code.code | value.bits, code.length);
  } else {
    // The additional bits are v when positive and v - 1 when negative,
    // in the low kMaxDcSize bits.
    const int clamped = ClampToSize(diff, kMaxDcSize);
    const uint32_t bits = static_cast<uint32_t>(clamped + (clamped >> 31)) & ((1u << kMaxDcSize) - 1);
    writer.Put(sized.entry[kMaxDcSize].code | bits, sized.entry[kMaxDcSize].length);
  }

  const SizedCode& eob = sized.entry[16 + kEobSymbol];
  if ((nonzero & ~uint64_t{1}) == 0) {
    writer.Put(eob.code, eob.length);
    return;
  }
  const int previous = (nonzero >> (kSparseLastIndex + 1)) != 0 ? CodeAc<true, Ops>(writer, natural, sized, nonzero)
                                                                : CodeAc<false, Ops>(writer, natural, sized, nonzero);
  if (previous != 63) writer.Put(eob.code, eob.length);
}

inline uint64_t KeepMask(int lastAcIndex) {
  return lastAcIndex >= 63 ? ~uint64_t{0} : (uint64_t{1} << (lastAcIndex + 1)) - 1;
}

// GetStandardCodeTables for the strip coder, which asks once per strip: after
// the first build one load answers, without a call.
inline void EnsureCodeTables() {
  if (__builtin_expect(!__atomic_load_n(&s_codeTablesReady, __ATOMIC_ACQUIRE), 0)) GetStandardCodeTables();
}

template <class Ops>
void EncodeBlock(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables) {
  const StandardCodeTables& standard = GetStandardCodeTables();
  SizedCodeTable own;
  const SizedCodeTable* sized = &own;
  if (tables.dc == &standard.luminanceDc && tables.ac == &standard.luminanceAc)
    sized = &s_sizedLuminance;
  else if (tables.dc == &standard.chrominanceDc && tables.ac == &standard.chrominanceAc)
    sized = &s_sizedChrominance;
  else
    BuildSizedCodeTable(tables, own);
  auto writer = StartWriter<Ops>(state);
  uint8_t* const start = writer.out;
  CodeBlock<Ops>(writer, block, predictor, *sized, Ops::NonzeroMask(block));
  writer.out = StuffFfBytes<Ops>(start, writer.out);
  FinishWriter(writer, state);
}

template <class Ops>
void EncodeStripBlocks(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex) {
  EnsureCodeTables();  // the process-wide tables from here on
  const uint64_t keep = KeepMask(lastAcIndex);
  int16_t yPredictor = 0, cbPredictor = 0, crPredictor = 0;
  auto writer = StartWriter<Ops>(state);
  uint8_t* const start = writer.out;
  for (int m = 0; m < 4; ++m) {
    CodeBlock<Ops>(writer, blocks.block[3 * m], yPredictor, s_sizedLuminance, blocks.nonzero[3 * m] & keep);
    CodeBlock<Ops>(writer, blocks.block[3 * m + 1], cbPredictor, s_sizedChrominance, blocks.nonzero[3 * m + 1] & keep);
    CodeBlock<Ops>(writer, blocks.block[3 * m + 2], crPredictor, s_sizedChrominance, blocks.nonzero[3 * m + 2] & keep);
  }
  writer.out = StuffFfBytes<Ops>(start, writer.out);
  FinishWriter(writer, state);
}

}  // namespace
}  // namespace block_coder
}  // namespace jpeg
