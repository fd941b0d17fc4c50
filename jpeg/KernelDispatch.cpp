// Chooses the kernel set once per process from what the processor supports.
#include "EncoderKernels.h"

namespace jpeg {

namespace {

const EncoderKernels kScalar = {KernelSet::Scalar, "scalar", ConvertBgrxToYccScalar,
                                ForwardDctFastScalar, QuantizeBlockScalar};
const EncoderKernels kSse2 = {KernelSet::Sse2, "sse2", ConvertBgrxToYccSse2, ForwardDctFastSse2,
                              QuantizeBlockSse2};

}  // namespace

bool IsKernelSetSupported(KernelSet set) {
  switch (set) {
    case KernelSet::Scalar:
      return true;
    case KernelSet::Sse2:
      // Both build trees require SSE2 (x86-64, and -msse2 for 32-bit).
      return true;
  }
  return false;
}

const EncoderKernels& KernelsFor(KernelSet set) {
  switch (set) {
    case KernelSet::Sse2:
      return kSse2;
    case KernelSet::Scalar:
      break;
  }
  return kScalar;
}

const EncoderKernels& ActiveKernels() {
  static const EncoderKernels& chosen = KernelsFor(KernelSet::Sse2);
  return chosen;
}

}  // namespace jpeg
