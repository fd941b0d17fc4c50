// Chooses the kernel set once per process from what the processor supports.
#include "EncoderKernels.h"

namespace jpeg {

namespace {

// S: the numeric kernels, R: strip reuse, C: the entropy coder.
#define SKY_KERNEL_SET(set, name, S, R, C)                                                                      \
  {                                                                                                             \
    set, name, ConvertBgrxToYcc##S, ForwardDctFast##S, QuantizeBlock##S, TransformStrip##S, SameStripPixels##R, \
        FlatStripPixels##R, KeepStripPixels##R, FinishKeptPixels##R, SameStripBlocks##R, CopyStripData##R,      \
        EncodeBlock##C, EncodeStripBlocks##C                                                                    \
  }
const EncoderKernels kScalar = SKY_KERNEL_SET(KernelSet::Scalar, "scalar", Scalar, Scalar, Scalar);
const EncoderKernels kSse2 = SKY_KERNEL_SET(KernelSet::Sse2, "sse2", Sse2, Sse2, Sse2);
// Strip reuse is memory-bound: the AVX2 set runs the SSE2 code for it.
const EncoderKernels kAvx2 = SKY_KERNEL_SET(KernelSet::Avx2, "avx2", Avx2, Sse2, Avx2);
#undef SKY_KERNEL_SET

// The AVX2 unit is also built for BMI2 (its entropy coder's bit writer),
// which every processor with AVX2 has had so far; one without it runs the
// SSE2 set.
bool ProcessorRunsAvx2Set() {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
  // "avx2" also checks that the operating system saves the YMM registers.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
#else
  return false;
#endif
}

}  // namespace

bool IsKernelSetSupported(KernelSet set) {
  switch (set) {
    case KernelSet::Scalar:
      return true;
    case KernelSet::Sse2:
      // Both build trees require SSE2 (x86-64, and -msse2 for 32-bit).
      return true;
    case KernelSet::Avx2: {
      static const bool supported = ProcessorRunsAvx2Set();
      return supported;
    }
  }
  return false;
}

const EncoderKernels& KernelsFor(KernelSet set) {
  switch (set) {
    case KernelSet::Sse2:
      return kSse2;
    case KernelSet::Avx2:
      return kAvx2;
    case KernelSet::Scalar:
      break;
  }
  return kScalar;
}

const EncoderKernels& ActiveKernels() {
  static const EncoderKernels& chosen =
      KernelsFor(IsKernelSetSupported(KernelSet::Avx2) ? KernelSet::Avx2 : KernelSet::Sse2);
  return chosen;
}

// The active set is SSE2 or AVX2, and AVX2 forms its masks in its strip
// transform only.
uint64_t ZigZagNonzeroMask(const int16_t* natural) { return ZigZagNonzeroMaskSse2(natural); }

std::string DescribeStages(const EncoderKernels& kernels) {
  // The strip transform runs conversion, DCT, quantiser and the zig-zag zero
  // masks of one set; so does the entropy coder's size and value-bit pass for
  // dense blocks. Its bit buffer is a 64-bit integer, except in the vector
  // sets of the 32-bit build (a vector register); the AVX2 set's bit writer
  // shifts with BMI2.
  const std::string name = kernels.name;
  const bool xmmBuffer = kernels.set != KernelSet::Scalar && sizeof(void*) == 4;
  const std::string entropy =
      name + "-sizes+" + (xmmBuffer ? "xmm" : "gpr") + "-buffer" + (kernels.set == KernelSet::Avx2 ? "+bmi2" : "");
  return "convert=" + name + " dct=" + name + " quantize=" + name + " zero-masks=" + name + " entropy=" + entropy;
}

}  // namespace jpeg
