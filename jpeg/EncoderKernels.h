// Numeric kernels of the frame encoder: BGRX -> YCbCr conversion, the AAN
// fast forward DCT in 16-bit integers, quantisation by reciprocal
// multiplication, and the divisor-table rule.
//
// Every kernel exists as a plain scalar reference and as vector code; all
// kernel sets produce identical results for every input. One place picks the
// set once per process (ActiveKernelSet); tests and the benchmark can force
// any set the processor supports.
#pragma once

#include <cstdint>

namespace jpeg {

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
using ConvertBgrxToYccFn = void (*)(int width, const uint8_t* const* inRows,
                                    uint8_t* const* yRows, uint8_t* const* cbRows,
                                    uint8_t* const* crRows, int outRow, int rows);
// In-place forward DCT of one 16-byte aligned block of 64 int16 (natural order).
using ForwardDctFastFn = void (*)(int16_t* block);
// coef[i] = quantised workspace[i]; coef and workspace may be the same block.
using QuantizeBlockFn = void (*)(int16_t* coef, const DivisorTable& divisors,
                                 const int16_t* workspace);

enum class KernelSet { Scalar, Sse2 };

struct EncoderKernels {
  KernelSet set;
  const char* name;
  ConvertBgrxToYccFn convertBgrxToYcc;
  ForwardDctFastFn forwardDctFast;
  QuantizeBlockFn quantizeBlock;
};

// The kernels of one set. Sets the processor cannot run are never returned
// by ActiveKernels; asking for them by name is the caller's responsibility
// (see IsKernelSetSupported).
const EncoderKernels& KernelsFor(KernelSet set);
bool IsKernelSetSupported(KernelSet set);

// The best set this processor supports, chosen once.
const EncoderKernels& ActiveKernels();

// Scalar reference kernels (also the portable fallback).
void ConvertBgrxToYccScalar(int width, const uint8_t* const* inRows, uint8_t* const* yRows,
                            uint8_t* const* cbRows, uint8_t* const* crRows, int outRow,
                            int rows);
void ForwardDctFastScalar(int16_t* block);
void QuantizeBlockScalar(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace);

// SSE2 kernels.
void ConvertBgrxToYccSse2(int width, const uint8_t* const* inRows, uint8_t* const* yRows,
                          uint8_t* const* cbRows, uint8_t* const* crRows, int outRow, int rows);
void ForwardDctFastSse2(int16_t* block);
void QuantizeBlockSse2(int16_t* coef, const DivisorTable& divisors, const int16_t* workspace);

}  // namespace jpeg
