// Chooses the kernel set once per process from what the processor supports.
#include "EncoderKernels.h"

namespace jpeg {

namespace {

#define SKY_KERNEL_SET(set, name, S, R)                                                                         \
  {                                                                                                             \
    set, name, ConvertBgrxToYcc##S, ForwardDctFast##S, QuantizeBlock##S, TransformStrip##S, SameStripPixels##R, \
        FlatStripPixels##R, KeepStripPixels##R, FinishKeptPixels##R, SameStripBlocks##R, CopyStripData##R,      \
        EncodeBlock##R, EncodeStripBlocks##R                                                                    \
  }
const EncoderKernels kScalar = SKY_KERNEL_SET(KernelSet::Scalar, "scalar", Scalar, Scalar);
const EncoderKernels kSse2 = SKY_KERNEL_SET(KernelSet::Sse2, "sse2", Sse2, Sse2);
// Strip reuse is memory-bound and the entropy coder scalar at heart: the
// AVX2 set runs the SSE2 code for both.
const EncoderKernels kAvx2 = SKY_KERNEL_SET(KernelSet::Avx2, "avx2", Avx2, Sse2);
#undef SKY_KERNEL_SET

bool ProcessorHasAvx2() {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
  // Also checks that the operating system saves the YMM registers.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
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
      static const bool supported = ProcessorHasAvx2();
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
  // masks of one set. The vector sets share one entropy coder: SSE2 sizes and
  // value bits for dense blocks, and a 64-bit bit buffer (in a vector
  // register in the 32-bit build); the scalar set's is plain C++.
  const std::string name = kernels.name;
  const std::string entropy = kernels.set == KernelSet::Scalar
                                  ? "scalar-sizes+gpr-buffer"
                                  : std::string("sse2-sizes+") + (sizeof(void*) == 8 ? "gpr" : "xmm") + "-buffer";
  return "convert=" + name + " dct=" + name + " quantize=" + name + " zero-masks=" + name + " entropy=" + entropy;
}

}  // namespace jpeg
