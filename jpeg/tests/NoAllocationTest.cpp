// Encode runs on every device's frame thread for every changed frame: it
// must not allocate. This executable replaces the global allocation
// functions with counting ones (its own binary, so no other test is
// affected) and encodes frames of every shape with every kernel set.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "CustomJpeg.h"
#include "TestFrames.h"

namespace {

std::atomic<long> g_allocations{0};

void* Allocate(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size != 0 ? size : 1);
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t a = static_cast<std::size_t>(alignment);
  const std::size_t rounded = ((size != 0 ? size : 1) + a - 1) / a * a;
#ifdef _WIN32
  return _aligned_malloc(rounded, a);
#else
  void* p = nullptr;
  return posix_memalign(&p, a < sizeof(void*) ? sizeof(void*) : a, rounded) == 0 ? p : nullptr;
#endif
}

void FreeAligned(void* p) {
#ifdef _WIN32
  _aligned_free(p);
#else
  std::free(p);
#endif
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

void* operator new(std::size_t size, std::align_val_t a) {
  if (void* p = AllocateAligned(size, a)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t a) { return operator new(size, a); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, a);
}
void operator delete(void* p, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { FreeAligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { FreeAligned(p); }

namespace jpeg {
namespace {

TEST(Encode, AllocatesNothingOnAnyKernelSetOrFrameShape) {
  struct Shape {
    int width, height, pitch;  // pitch 0: 4 * width
    uint32_t stripLimit;       // 0: the real limit
  } const shapes[] = {
      {1, 1, 0, 0}, {33, 9, 0, 0}, {1366, 24, 0, 0}, {1366, 24, 4 * 1376, 0}, {100, 20, 4 * 60, 0}, {64, 16, 0, 200},
  };
  for (KernelSet set : {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2}) {
    if (!IsKernelSetSupported(set)) continue;
    for (const Shape& s : shapes) {
      const testing::Frame f = testing::MakeNoiseFrame(s.width, s.height, 9, s.pitch);
      CustomJpeg encoder;
      ASSERT_TRUE(encoder.SetKernelSet(set));
      ASSERT_TRUE(encoder.Init(f.width, f.height));
      if (s.stripLimit != 0) encoder.SetMaxPaddedStripLengthForTesting(s.stripLimit);
      std::vector<uint8_t> out(encoder.MaxEncodedSize());
      const long before = g_allocations.load();
      const uint32_t n1 = encoder.Encode(f.pixels.data(), f.pitch, out.data());
      const uint32_t n2 = encoder.Encode(f.pixels.data(), f.pitch, out.data());
      const long during = g_allocations.load() - before;
      EXPECT_EQ(during, 0) << KernelsFor(set).name << " " << s.width << "x" << s.height;
      EXPECT_GE(n1, 128u);
      EXPECT_EQ(n1, n2);
    }
  }
  // The counter itself works (a direct call cannot be elided like a new-expression).
  const long before = g_allocations.load();
  void* volatile p = ::operator new(16);
  ::operator delete(p);
  EXPECT_EQ(g_allocations.load() - before, 1);
}

}  // namespace
}  // namespace jpeg
