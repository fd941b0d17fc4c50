// The process-wide code tables are built by whichever encoder needs them
// first. This executable holds one test so that the first use really happens
// on several threads at once; every thread must see the finished tables and
// code the same bytes as a later, single-threaded encoder.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CustomJpeg.h"
#include "EntropyCoder.h"
#include "TestFrames.h"

namespace jpeg {
namespace {

uint64_t TablesChecksum(const StandardCodeTables& t) {
  uint64_t sum = 0;
  for (const HuffCodeTable* table : {&t.luminanceDc, &t.luminanceAc, &t.chrominanceDc, &t.chrominanceAc})
    for (uint32_t entry : table->entry) sum = sum * 31 + entry;
  return sum;
}

TEST(FirstUse, EncodersStartedTogetherSeeFinishedTables) {
  constexpr int kThreads = 8;
  const testing::Frame f = testing::MakeTextLikeFrame(128, 32, 5);
  std::atomic<bool> go{false};
  std::vector<uint64_t> checksums(kThreads);
  std::vector<std::vector<uint8_t>> streams(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      if (i % 2 == 0) checksums[i] = TablesChecksum(GetStandardCodeTables());
      CustomJpeg encoder;
      if (!encoder.Init(f.width, f.height)) return;
      std::vector<uint8_t> out(encoder.MaxEncodedSize());
      out.resize(encoder.Encode(f.pixels.data(), f.pitch, out.data()));
      streams[i] = out;
      if (i % 2 != 0) checksums[i] = TablesChecksum(GetStandardCodeTables());
    });
  }
  go = true;
  for (auto& t : threads) t.join();

  const uint64_t finished = TablesChecksum(GetStandardCodeTables());
  CustomJpeg reference;
  ASSERT_TRUE(reference.Init(f.width, f.height));
  std::vector<uint8_t> expected(reference.MaxEncodedSize());
  expected.resize(reference.Encode(f.pixels.data(), f.pitch, expected.data()));
  ASSERT_FALSE(expected.empty());
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(checksums[i], finished) << "thread " << i;
    EXPECT_EQ(streams[i], expected) << "thread " << i;
  }
}

}  // namespace
}  // namespace jpeg
