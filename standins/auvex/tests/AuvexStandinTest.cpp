// Tests of the stand-in libAuvex DLL through its import library, the way the
// monitor processor and the test-control API use it.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Auvex.h"
#include "AuvexTestControl.h"
#include "AuvexTestEdid.h"
#include "SkyTestSupport.h"

namespace {

using auvex_test::EdidWithMode;
using Clock = std::chrono::steady_clock;

struct Recorder : IMonitorUpdateListener {
  struct Frame {
    ImageData image;
    std::vector<uint8_t> pixels;  // width * 4 bytes of every row
  };
  std::mutex mutex;
  std::vector<Frame> frames;
  std::vector<bool> activeChanges;
  std::vector<std::pair<int, uint32_t>> reserved;
  bool copyPixels = true;

  void OnImageChange(const ImageData* p) override {
    Frame f{*p, {}};
    if (copyPixels && p->data && p->width > 0 && p->height > 0 && p->pitch >= p->width * 4) {
      for (int y = 0; y < p->height; ++y)
        f.pixels.insert(f.pixels.end(), p->data + static_cast<size_t>(y) * p->pitch,
                        p->data + static_cast<size_t>(y) * p->pitch + p->width * 4);
    }
    std::lock_guard<std::mutex> lock(mutex);
    frames.push_back(std::move(f));
  }
  void OnMonitorActiveChange(bool active) override {
    std::lock_guard<std::mutex> lock(mutex);
    activeChanges.push_back(active);
  }
  void OnReservedEvent1(uint32_t v) override {
    std::lock_guard<std::mutex> lock(mutex);
    reserved.push_back({1, v});
  }
  void OnReservedEvent2(uint32_t v) override {
    std::lock_guard<std::mutex> lock(mutex);
    reserved.push_back({2, v});
  }
};

class AuvexStandin : public ::testing::Test {
 protected:
  void SetUp() override { AuvexTest_Reset(); }
  void TearDown() override { AuvexTest_Reset(); }

  AuvexMonitor Plugged(int width, int height, int fps, int waitMs) {
    AuvexMonitor h = CreateMonitorDevice();
    EXPECT_NE(h, 0u);
    std::vector<uint8_t> edid = EdidWithMode(width, height);
    EXPECT_EQ(PlugInMonitor(h, edid.data(), 256), 0);
    EXPECT_EQ(AuvexTest_SetTiming(h, fps, waitMs), 1);
    return h;
  }
  AuvexTestMonitorInfo Info(AuvexMonitor h) {
    AuvexTestMonitorInfo info{};
    EXPECT_EQ(AuvexTest_GetMonitorInfo(h, &info), 1);
    return info;
  }
};

TEST_F(AuvexStandin, ExportsUndecoratedNames) {
  HMODULE dll = GetModuleHandleW(L"libAuvex.dll");
  ASSERT_NE(dll, nullptr);
  for (const char* name : {"CreateMonitorDevice", "PlugInMonitor", "WaitforFrameChange", "CancelWaitFrameChange",
                           "IsMonitorActive", "PlugOutMonitor", "DestroyMonitorDevice", "InstallHook", "UnInstallHook",
                           "AuvexTest_Reset", "AuvexTest_QueueWaitResult", "AuvexTest_SetMode", "AuvexTest_SetActive"})
    EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
}

TEST_F(AuvexStandin, PreferredModeComesFromTheEdidFirstTiming) {
  struct Case {
    std::vector<uint8_t> edid;
    int size, width, height;
  };
  std::vector<uint8_t> badHeader = EdidWithMode(800, 600);
  badHeader[0] = 0x12;
  std::vector<uint8_t> noTiming = EdidWithMode(800, 600);
  noTiming[54] = noTiming[55] = 0;
  const Case cases[] = {
      {EdidWithMode(1920, 1080), 256, 1920, 1080},
      {EdidWithMode(2560, 1440), 128, 2560, 1440},
      {EdidWithMode(64, 32), 256, 64, 32},
      {badHeader, 256, 1024, 768},  // not an EDID: a common fallback mode
      {noTiming, 256, 1024, 768},
  };
  for (const Case& c : cases) {
    AuvexMonitor h = CreateMonitorDevice();
    ASSERT_EQ(PlugInMonitor(h, c.edid.data(), c.size), 0);
    AuvexTestMonitorInfo info = Info(h);
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(info.edidSize, c.size);
    EXPECT_EQ(std::memcmp(info.edid, c.edid.data(), static_cast<size_t>(c.size)), 0);
    EXPECT_TRUE(info.plugged);
    EXPECT_NE(IsMonitorActive(h), 0);
  }
}

TEST_F(AuvexStandin, RefusesBadPlugInsAndUnknownHandles) {
  std::vector<uint8_t> edid = EdidWithMode(640, 480);
  AuvexMonitor h = CreateMonitorDevice();
  EXPECT_NE(PlugInMonitor(h, nullptr, 256), 0);
  EXPECT_NE(PlugInMonitor(h, edid.data(), 127), 0);
  EXPECT_NE(PlugInMonitor(h, edid.data(), 257), 0);
  EXPECT_NE(PlugInMonitor(h + 100, edid.data(), 256), 0);
  EXPECT_EQ(IsMonitorActive(h), 0);  // not plugged yet
  EXPECT_EQ(PlugInMonitor(h, edid.data(), 256), 0);
  EXPECT_NE(PlugInMonitor(h, edid.data(), 256), 0);  // already plugged
  Recorder r;
  EXPECT_EQ(WaitforFrameChange(h + 100, &r), kAuvexWaitBadHandle);
  EXPECT_EQ(WaitforFrameChange(h, nullptr), kAuvexWaitBadHandle);
  EXPECT_EQ(DestroyMonitorDevice(h), 0);
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitBadHandle);
  EXPECT_NE(DestroyMonitorDevice(h), 0);  // released once only
  EXPECT_EQ(IsMonitorActive(h), 0);
  EXPECT_EQ(AuvexTest_GetMonitors(nullptr, 0), 0);
}

TEST_F(AuvexStandin, DeliversMovingDesktopFramesAtASteadyRate) {
  AuvexMonitor h = Plugged(320, 200, 50, 500);
  Recorder r;
  auto start = Clock::now();
  int delivered = 0;
  while (Clock::now() - start < std::chrono::milliseconds(600)) {
    ASSERT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
    ++delivered;
  }
  // 50 frames a second for 0.6 s: about 30. Fewer when the machine is
  // loaded, never a burst of more.
  EXPECT_GE(delivered, 10);
  EXPECT_LE(delivered, 40);
  ASSERT_EQ(r.frames.size(), static_cast<size_t>(delivered));
  std::set<uint32_t> colours;
  for (size_t i = 0; i < r.frames.size(); ++i) {
    const Recorder::Frame& f = r.frames[i];
    EXPECT_EQ(f.image.width, 320);
    EXPECT_EQ(f.image.height, 200);
    EXPECT_EQ(f.image.pitch, 320 * 4);
    if (i > 0) {
      EXPECT_NE(f.pixels, r.frames[i - 1].pixels) << "frame " << i << " did not change";
    }
    for (size_t p = 0; p < f.pixels.size(); p += 4 * 7)
      colours.insert(f.pixels[p] | f.pixels[p + 1] << 8 | f.pixels[p + 2] << 16);
  }
  // Wallpaper gradient, windows, text and taskbar: far more than a few colours.
  EXPECT_GT(colours.size(), 50u);
  EXPECT_EQ(Info(h).framesDelivered, static_cast<uint32_t>(delivered));
}

TEST_F(AuvexStandin, ReturnsTwoWhenNothingChangesWithinTheWait) {
  AuvexMonitor h = Plugged(64, 32, 0, 60);
  Recorder r;
  auto start = Clock::now();
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitNothingNew);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_TRUE(r.frames.empty());
  EXPECT_EQ(Info(h).nothingNew, 1u);
}

TEST_F(AuvexStandin, CancelReleasesABlockedWaitAndIsRememberedOnce) {
  AuvexMonitor h = Plugged(64, 32, 0, 20000);
  Recorder r;
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = WaitforFrameChange(h, &r); });
  while (!Info(h).waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto start = Clock::now();
  CancelWaitFrameChange(h);
  waiter.join();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_EQ(result.load(), kAuvexWaitNothingNew);

  // A cancel that comes while nobody waits ends the next wait at once, only that one.
  AuvexTest_SetTiming(h, 0, 1000);
  CancelWaitFrameChange(h);
  CancelWaitFrameChange(h);
  start = Clock::now();
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitNothingNew);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  start = Clock::now();
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitNothingNew);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(Info(h).cancels, 3u);
}

TEST_F(AuvexStandin, InactiveMonitorReportsTheChangeAndDeliversNoFrames) {
  AuvexMonitor h = Plugged(64, 32, 100, 50);
  Recorder r;
  ASSERT_EQ(AuvexTest_SetActive(h, 0), 1);
  EXPECT_EQ(IsMonitorActive(h), 0);
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
  ASSERT_EQ(r.activeChanges, std::vector<bool>{false});
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitNothingNew);
  EXPECT_TRUE(r.frames.empty());

  ASSERT_EQ(AuvexTest_SetActive(h, 1), 1);
  EXPECT_NE(IsMonitorActive(h), 0);
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
  EXPECT_EQ(r.activeChanges, (std::vector<bool>{false, true}));
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
  EXPECT_EQ(r.frames.size(), 1u);
}

TEST_F(AuvexStandin, ScriptedEventsComeInOrderBeforeFrames) {
  AuvexMonitor h = Plugged(64, 32, 100, 50);
  Recorder r;
  uint8_t pixels[16] = {};
  ASSERT_EQ(AuvexTest_QueueWaitResult(h, 7), 1);
  ASSERT_EQ(AuvexTest_QueueImage(h, -5, 0, 3, pixels), 1);
  ASSERT_EQ(AuvexTest_QueueReservedEvent(h, 2, 0xDEADBEEF), 1);
  ASSERT_EQ(AuvexTest_QueueWaitResult(h, 2), 1);
  EXPECT_EQ(AuvexTest_QueueReservedEvent(h, 3, 1), 0);

  EXPECT_EQ(WaitforFrameChange(h, &r), 7);
  EXPECT_TRUE(r.frames.empty());
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].image.width, -5);  // handed over exactly as queued
  EXPECT_EQ(r.frames[0].image.height, 0);
  EXPECT_EQ(r.frames[0].image.pitch, 3);
  EXPECT_EQ(r.frames[0].image.data, pixels);
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
  ASSERT_EQ(r.reserved.size(), 1u);
  EXPECT_EQ(r.reserved[0], (std::pair<int, uint32_t>{2, 0xDEADBEEF}));
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitNothingNew);
  // Then the frame source again, at the size the mode was changed to.
  ASSERT_EQ(AuvexTest_SetMode(h, 96, 40), 1);
  ASSERT_EQ(AuvexTest_SetRowPadding(h, 12), 1);
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_EQ(r.frames[1].image.width, 96);
  EXPECT_EQ(r.frames[1].image.height, 40);
  EXPECT_EQ(r.frames[1].image.pitch, 96 * 4 + 12);
  EXPECT_EQ(AuvexTest_SetMode(h, 0, 40), 0);
  EXPECT_EQ(AuvexTest_SetMode(h, 9000, 40), 0);
}

TEST_F(AuvexStandin, InjectedCreateAndPlugInFailures) {
  AuvexTest_FailCreateMonitorDevice(2);
  EXPECT_EQ(CreateMonitorDevice(), 0u);
  EXPECT_EQ(CreateMonitorDevice(), 0u);
  AuvexMonitor h = CreateMonitorDevice();
  EXPECT_NE(h, 0u);
  std::vector<uint8_t> edid = EdidWithMode(64, 32);
  AuvexTest_FailPlugInMonitor(1, 87);
  EXPECT_EQ(PlugInMonitor(h, edid.data(), 256), 87);
  EXPECT_FALSE(Info(h).plugged);
  EXPECT_EQ(PlugInMonitor(h, edid.data(), 256), 0);
}

TEST_F(AuvexStandin, RawFilesAreDeliveredInOrderAndCycled) {
  const std::string base = skytest::TestTmpDir();
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> contents;
  for (int i = 0; i < 2; ++i) {
    std::vector<uint8_t> bytes(40 * 8 * 4);
    for (size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<uint8_t>(b * (i + 3));
    paths.push_back(base + "\\frame" + std::to_string(i) + ".bgrx");
    FILE* f = std::fopen(paths.back().c_str(), "wb");
    ASSERT_NE(f, nullptr) << paths.back();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    contents.push_back(bytes);
  }
  AuvexMonitor h = Plugged(640, 480, 200, 100);
  const char* names[2] = {paths[0].c_str(), paths[1].c_str()};
  EXPECT_EQ(AuvexTest_SetFrameFiles(h, names, 2, 41, 8), 0);  // wrong size: refused
  ASSERT_EQ(AuvexTest_SetFrameFiles(h, names, 2, 40, 8), 1);
  Recorder r;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitforFrameChange(h, &r), kAuvexWaitDelivered);
  ASSERT_EQ(r.frames.size(), 3u);
  EXPECT_EQ(r.frames[0].pixels, contents[0]);
  EXPECT_EQ(r.frames[1].pixels, contents[1]);
  EXPECT_EQ(r.frames[2].pixels, contents[0]);
  EXPECT_EQ(r.frames[0].image.width, 40);

  // The same through the environment, for programs that know nothing of the
  // test control: read when a monitor is plugged in.
  std::string files = "AUVEX_FRAME_FILES=" + paths[1] + ";" + paths[0];
  ASSERT_EQ(_putenv(files.c_str()), 0);
  ASSERT_EQ(_putenv("AUVEX_FRAME_SIZE=40x8"), 0);
  ASSERT_EQ(_putenv("AUVEX_FRAME_RATE=7"), 0);
  AuvexMonitor fromEnv = CreateMonitorDevice();
  std::vector<uint8_t> edid = EdidWithMode(640, 480);
  ASSERT_EQ(PlugInMonitor(fromEnv, edid.data(), 256), 0);
  _putenv("AUVEX_FRAME_FILES=");
  _putenv("AUVEX_FRAME_SIZE=");
  _putenv("AUVEX_FRAME_RATE=");
  Recorder e;
  auto start = Clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitforFrameChange(fromEnv, &e), kAuvexWaitDelivered);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));  // 7 frames a second
  ASSERT_EQ(e.frames.size(), 3u);
  EXPECT_EQ(e.frames[0].pixels, contents[1]);
  EXPECT_EQ(e.frames[1].pixels, contents[0]);
}

struct HookLog {
  std::mutex mutex;
  std::vector<std::string> calls;
};

void AUVEX_CALL RecordCall(const char* function, AuvexMonitor, void* context) {
  auto* log = static_cast<HookLog*>(context);
  std::lock_guard<std::mutex> lock(log->mutex);
  log->calls.push_back(function);
}

TEST_F(AuvexStandin, CallHookSeesEveryLibraryCallInOrder) {
  HookLog log;
  AuvexTest_SetCallHook(&RecordCall, &log);
  AuvexMonitor h = Plugged(64, 32, 0, 1);
  Recorder r;
  WaitforFrameChange(h, &r);
  IsMonitorActive(h);
  CancelWaitFrameChange(h);
  PlugOutMonitor(h);
  DestroyMonitorDevice(h);
  InstallHook();
  UnInstallHook();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"CreateMonitorDevice", "PlugInMonitor", "WaitforFrameChange",
                                                 "IsMonitorActive", "CancelWaitFrameChange", "PlugOutMonitor",
                                                 "DestroyMonitorDevice", "InstallHook", "UnInstallHook"}));
  int installs = 0, uninstalls = 0;
  AuvexTest_GetHookCalls(&installs, &uninstalls);
  EXPECT_EQ(installs, 1);
  EXPECT_EQ(uninstalls, 1);
}

// The frame thread waits and renders while the main thread plugs out,
// destroys and cancels: every wait ends, nothing crashes.
TEST_F(AuvexStandin, MainThreadTeardownWhileAFrameThreadWaits) {
  for (int round = 0; round < 60; ++round) {
    AuvexMonitor h = Plugged(128, 64, round % 3 == 0 ? 0 : 500, 5000);
    Recorder r;
    r.copyPixels = false;
    std::atomic<bool> stop{false};
    std::atomic<int> lastResult{-1};
    std::thread frameThread([&] {
      while (!stop) {
        int result = WaitforFrameChange(h, &r);
        lastResult = result;
        if (result != kAuvexWaitDelivered && result != kAuvexWaitNothingNew) break;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
    switch (round % 3) {
      case 0:  // the processor's teardown: flag, cancel, join, then release
        stop = true;
        CancelWaitFrameChange(h);
        frameThread.join();
        PlugOutMonitor(h);
        DestroyMonitorDevice(h);
        break;
      case 1:  // plugged out under a waiting thread
        PlugOutMonitor(h);
        frameThread.join();
        EXPECT_EQ(lastResult.load(), kAuvexWaitNotPlugged);
        DestroyMonitorDevice(h);
        break;
      default:  // destroyed under a waiting thread
        DestroyMonitorDevice(h);
        frameThread.join();
        EXPECT_EQ(lastResult.load(), kAuvexWaitBadHandle);
        break;
    }
  }
  EXPECT_EQ(AuvexTest_GetMonitors(nullptr, 0), 0);
}

TEST_F(AuvexStandin, SecondWaiterOnOneMonitorIsRefused) {
  AuvexMonitor h = Plugged(64, 32, 0, 20000);
  Recorder r;
  std::thread waiter([&] { WaitforFrameChange(h, &r); });
  while (!Info(h).waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(WaitforFrameChange(h, &r), kAuvexWaitBusy);
  CancelWaitFrameChange(h);
  waiter.join();
}

}  // namespace
