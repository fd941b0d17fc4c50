// Chooses the kernel set once per process from what the processor supports.
#include "EncoderKernels.h"

namespace jpeg {

namespace {

const EncoderKernels kScalar = {KernelSet::Scalar,      "scalar",
                                ConvertBgrxToYccScalar, ForwardDctFastScalar,
                                QuantizeBlockScalar,    TransformStripScalar};
const EncoderKernels kSse2 = {KernelSet::Sse2,      "sse2",
                              ConvertBgrxToYccSse2, ForwardDctFastSse2,
                              QuantizeBlockSse2,    TransformStripSse2};
const EncoderKernels kAvx2 = {KernelSet::Avx2,      "avx2",
                              ConvertBgrxToYccAvx2, ForwardDctFastAvx2,
                              QuantizeBlockAvx2,    TransformStripAvx2};

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

std::string DescribeStages(const EncoderKernels& kernels) {
  // The strip transform runs conversion, DCT, quantiser and the zig-zag zero
  // masks of one set; the entropy coder is the same code for every set: SSE2
  // sizes and value bits for dense blocks, and a 64-bit bit buffer (in a
  // vector register in the 32-bit build).
  const std::string name = kernels.name;
  return "convert=" + name + " dct=" + name + " quantize=" + name + " zero-masks=" + name +
         " entropy=sse2-sizes+" + (sizeof(void*) == 8 ? "gpr" : "xmm") + "-buffer";
}

}  // namespace jpeg
