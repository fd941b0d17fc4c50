// Numeric kernels of the frame encoder: BGRX -> YCbCr conversion, the AAN
// fast forward DCT in 16-bit integers, quantisation by reciprocal
// multiplication, and the divisor-table rule.
//
// Every kernel exists as a plain scalar reference and as vector code (SSE2,
// and AVX2 where the processor has it); all
// kernel sets produce identical results for every input. One place picks the
// set once per process (ActiveKernelSet); tests and the benchmark can force
// any set the processor supports.
#pragma once

#include <cstdint>
#include <string>

namespace jpeg {

struct CustomJpegState;
struct HuffCodePair;

// Quantisation divisors in the form the quantiser reads, one column per
// natural position. 16-byte aligned rows for aligned vector loads.
struct alignas(16) DivisorTable {
  uint16_t reciprocal[64];
  uint16_t correction[64];
  uint16_t scale[64];
  int16_t shift[64];  // filled for completeness; the quantiser does not read it
};

// Fills column `position` of `table` for divisor d (3 <= d <= 65535).
void MakeDivisor(uint16_t divisor, DivisorTable& table, int position);

// Divisor of one natural position: (q * aan[i] + 1024) >> 11.
uint16_t DivisorFor(int quantValue, int naturalPosition);

// Converts `rows` BGRX rows of `width` pixels into rows outRow .. of the
// three planes. Input rows need no alignment; output rows are written with
// aligned stores where width allows, so each output row must be 16-byte
// aligned when width >= 16.
using ConvertBgrxToYccFn = void (*)(int width, const uint8_t* const* inRows, uint8_t* const* yRows,
                                    uint8_t* const* cbRows, uint8_t* const* crRows, int outRow, int rows);
// In-place forward DCT of one 16-byte aligned block of 64 int16 (natural order).
using ForwardDctFastFn = void (*)(int16_t* block);
// coef[i] = quantised workspace[i]; coef and workspace may be the same block.
using QuantizeBlockFn = void (*)(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace);

// The twelve quantised blocks of one strip in coding order: block[3 * m + c]
// is component c (0 Y, 1 Cb, 2 Cr) of the MCU at x = 8 * m, natural order.
// nonzero[b] has bit k set where block b's coefficient at zig-zag index k is
// not zero (the entropy coder jumps from one set bit to the next).
struct alignas(32) StripBlocks {
  int16_t block[12][64];
  uint64_t nonzero[12];
};

// The transform of a strip of one colour (level-shifted samples y, cb, cr in
// every block): exact without the DCT, which turns equal samples s into DC
// 64 * s and 63 zeros (its butterflies only add and subtract equal values,
// and M(0, c) = 0). Portable; the vector sets call it for flat strips.
void WriteFlatStripBlocks(int16_t y, int16_t cb, int16_t cr, const DivisorTable& luminance,
                          const DivisorTable& chrominance, StripBlocks& out);

// nonzero mask of one natural-order block as StripBlocks holds it (the
// active set's code).
uint64_t ZigZagNonzeroMask(const int16_t* natural);

// The encoder's whole per-strip numeric stage: converts 8 rows of 32 BGRX
// pixels (each row pointer readable for 128 bytes), level-shifts, transforms
// (ForwardDctFast) and quantises (QuantizeBlock, luminance divisors for Y,
// chrominance for Cb and Cr). Equal to running the three kernels one after
// the other, for every input. `planes` is 768 bytes of 16-byte aligned
// scratch that a set may use for the Y, Cb and Cr planes.
using TransformStripFn = void (*)(const uint8_t* const* rows, const DivisorTable& luminance,
                                  const DivisorTable& chrominance, uint8_t* planes, StripBlocks& out);

// The frame-to-frame strip reuse of CustomJpeg::Encode. A strip's pixels are
// 8 rows of 128 bytes (32 BGRX pixels); each row pointer is readable for
// 128 bytes, and the kept copy is 1024 bytes, 16-byte aligned, row after row.
//
// True when the rows hold exactly the kept pixels.
using SameStripPixelsFn = bool (*)(const uint8_t* const* rows, const uint8_t* kept);
// True when every pixel of the rows is `pixel` (all four bytes).
using FlatStripPixelsFn = bool (*)(const uint8_t* const* rows, uint32_t pixel);
// Copies the rows to `kept`; the copy may bypass the cache until
// FinishKeptPixels, which the encoder calls before anything reads it.
using KeepStripPixelsFn = void (*)(const uint8_t* const* rows, uint8_t* kept);
using FinishKeptPixelsFn = void (*)();
// True when two strips have the same masks and the same coefficients where
// the masks are set (blocks 16-byte aligned).
using SameStripBlocksFn = bool (*)(const StripBlocks& a, const StripBlocks& b);
// Copies `bytes` (a multiple of 4) of coded strip data.
using CopyStripDataFn = void (*)(uint8_t* dst, const uint8_t* src, uint32_t bytes);

// The entropy coder (EntropyCoder.h: EncodeBlock, EncodeStripBlocks), one
// instance per set.
using EncodeBlockFn = void (*)(CustomJpegState& state, const int16_t* block, int16_t& predictor,
                               const HuffCodePair& tables);
using EncodeStripBlocksFn = void (*)(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex);

enum class KernelSet { Scalar, Sse2, Avx2 };

struct EncoderKernels {
  KernelSet set;
  const char* name;
  ConvertBgrxToYccFn convertBgrxToYcc;
  ForwardDctFastFn forwardDctFast;
  QuantizeBlockFn quantizeBlock;
  TransformStripFn transformStrip;
  SameStripPixelsFn sameStripPixels;
  FlatStripPixelsFn flatStripPixels;
  KeepStripPixelsFn keepStripPixels;
  FinishKeptPixelsFn finishKeptPixels;
  SameStripBlocksFn sameStripBlocks;
  CopyStripDataFn copyStripData;
  EncodeBlockFn encodeBlock;
  EncodeStripBlocksFn encodeStripBlocks;
};

// The kernels of one set. Sets the processor cannot run are never returned
// by ActiveKernels; asking for them by name is the caller's responsibility
// (see IsKernelSetSupported).
const EncoderKernels& KernelsFor(KernelSet set);
bool IsKernelSetSupported(KernelSet set);

// The best set this processor supports, chosen once.
const EncoderKernels& ActiveKernels();

// Which code each stage of the encoder runs with this set, for reports.
std::string DescribeStages(const EncoderKernels& kernels);

// Scalar reference kernels (also the portable fallback).
void ConvertBgrxToYccScalar(int width, const uint8_t* const* inRows, uint8_t* const* yRows, uint8_t* const* cbRows,
                            uint8_t* const* crRows, int outRow, int rows);
void ForwardDctFastScalar(int16_t* block);
void QuantizeBlockScalar(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace);
void TransformStripScalar(const uint8_t* const* rows, const DivisorTable& luminance, const DivisorTable& chrominance,
                          uint8_t* planes, StripBlocks& out);
bool SameStripPixelsScalar(const uint8_t* const* rows, const uint8_t* kept);
bool FlatStripPixelsScalar(const uint8_t* const* rows, uint32_t pixel);
void KeepStripPixelsScalar(const uint8_t* const* rows, uint8_t* kept);
void FinishKeptPixelsScalar();
bool SameStripBlocksScalar(const StripBlocks& a, const StripBlocks& b);
void CopyStripDataScalar(uint8_t* dst, const uint8_t* src, uint32_t bytes);
void EncodeBlockScalar(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables);
void EncodeStripBlocksScalar(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex);
uint64_t ZigZagNonzeroMaskScalar(const int16_t* natural);

// SSE2 kernels (the AVX2 set shares those for strip reuse).
void ConvertBgrxToYccSse2(int width, const uint8_t* const* inRows, uint8_t* const* yRows, uint8_t* const* cbRows,
                          uint8_t* const* crRows, int outRow, int rows);
void ForwardDctFastSse2(int16_t* block);
void QuantizeBlockSse2(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace);
void TransformStripSse2(const uint8_t* const* rows, const DivisorTable& luminance, const DivisorTable& chrominance,
                        uint8_t* planes, StripBlocks& out);
bool SameStripPixelsSse2(const uint8_t* const* rows, const uint8_t* kept);
bool FlatStripPixelsSse2(const uint8_t* const* rows, uint32_t pixel);
void KeepStripPixelsSse2(const uint8_t* const* rows, uint8_t* kept);
void FinishKeptPixelsSse2();
bool SameStripBlocksSse2(const StripBlocks& a, const StripBlocks& b);
void CopyStripDataSse2(uint8_t* dst, const uint8_t* src, uint32_t bytes);
void EncodeBlockSse2(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables);
void EncodeStripBlocksSse2(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex);
uint64_t ZigZagNonzeroMaskSse2(const int16_t* natural);

// AVX2 kernels (KernelsAvx2.cpp, the only unit compiled with -mavx2, and
// with BMI2); call them only when IsKernelSetSupported(KernelSet::Avx2).
void ConvertBgrxToYccAvx2(int width, const uint8_t* const* inRows, uint8_t* const* yRows, uint8_t* const* cbRows,
                          uint8_t* const* crRows, int outRow, int rows);
void ForwardDctFastAvx2(int16_t* block);
void QuantizeBlockAvx2(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace);
void TransformStripAvx2(const uint8_t* const* rows, const DivisorTable& luminance, const DivisorTable& chrominance,
                        uint8_t* planes, StripBlocks& out);
void EncodeBlockAvx2(CustomJpegState& state, const int16_t* block, int16_t& predictor, const HuffCodePair& tables);
void EncodeStripBlocksAvx2(CustomJpegState& state, const StripBlocks& blocks, int lastAcIndex);

}  // namespace jpeg
