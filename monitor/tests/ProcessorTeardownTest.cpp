// Destroying a processor while its frame thread waits or works: the wait is
// cancelled, the device is turned off while its link is still open, the
// thread never runs on after UnInit, and nothing leaks over many cycles.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "ProcessorTestSupport.h"

namespace proctest {
namespace {

class TeardownTest : public ProcessorTest {
 protected:
  // Starts the frame thread, lets it end on its own (the monitor answers
  // "nothing new" at once), then starts it again with a 5 s wait ahead.
  void StartEndAndRestart(CMonitorProcessor& proc) {
    AuvexTest_SetTiming(Monitor(), 0, 1);
    ASSERT_TRUE(proc.Start());
    ASSERT_TRUE(ThreadEnds());
    AuvexTest_SetTiming(Monitor(), 0, 5000);
    ASSERT_TRUE(proc.Start());
  }
};

// Bytes in the C runtime heap's used blocks.
size_t HeapBytesInUse() {
  _HEAPINFO info{};
  size_t used = 0;
  while (_heapwalk(&info) == _HEAPOK)
    if (info._useflag == _USEDENTRY) used += info._size;
  return used;
}

// What the library's calls saw of the USB side at the moment they came.
struct TeardownProbe {
  std::mutex mutex;
  std::vector<std::string> calls;
  size_t openInterfacesAtPlugOut = 99;
  std::vector<CallRecord> controlsAtPlugOut;
};

void AUVEX_CALL Probe(const char* function, AuvexMonitor, void* context) {
  auto* probe = static_cast<TeardownProbe*>(context);
  std::string name = function;
  if (name == "WaitforFrameChange" || name == "IsMonitorActive") return;
  std::lock_guard<std::mutex> lock(probe->mutex);
  probe->calls.push_back(name);
  if (name == "PlugOutMonitor") {
    probe->openInterfacesAtPlugOut = CWinUsbDouble::Get().OpenInterfaces();
    probe->controlsAtPlugOut = CWinUsbDouble::Get().Controls();
  }
}

// The library only releases a wait blocked at the moment of the cancel: a
// stop that comes during the pause after a "nothing new" must not leave the
// thread to start another full wait.
TEST_F(TeardownTest, StopDuringThePauseAfterNothingNewEndsTheThreadAtOnce) {
  AuvexTest_SetDefaultTiming(0, 5000);
  CMonitorProcessor& proc = InitProcessor();
  ASSERT_EQ(AuvexTest_SetCancelKeptForNextWait(Monitor(), 0), 1);
  ASSERT_EQ(AuvexTest_QueueWaitResult(Monitor(), 2), 1);
  ASSERT_TRUE(proc.Start());
  // The queued 2 comes back at once; the thread is now in its pause.
  ASSERT_TRUE(WaitUntil([&] { return MonitorInfo().nothingNew >= 1; }));
  auto start = Clock::now();
  m_pProc.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500)) << "one full wait of 5 s was started";
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread"), 1);
}

// Holds the frame thread inside one WaitforFrameChange call, before the
// library's wait begins, until a cancel has come: the cancel finds no wait
// to release. Lives for the whole program, as the hook may outlast a test.
struct ParkBeforeWait {
  std::atomic<int> waitsToLetThrough{-1};  // 0 parks the next wait; negative parks none
  std::atomic<bool> parked{false};
};
ParkBeforeWait s_park;

void AUVEX_CALL ParkUntilCancelled(const char* function, AuvexMonitor hMonitor, void* context) {
  auto* park = static_cast<ParkBeforeWait*>(context);
  if (std::string(function) != "WaitforFrameChange" || park->waitsToLetThrough.fetch_sub(1) != 0) return;
  park->parked = true;
  AuvexTestMonitorInfo info{};
  for (int i = 0; i < 5000 && AuvexTest_GetMonitorInfo(hMonitor, &info) && info.cancels == 0; ++i) Sleep(1);
}

// The library releases only a wait blocked at the moment of the cancel, and
// drops any other. A stop that comes while the frame thread is between its
// stop check and its next WaitforFrameChange must still end the thread at
// once: teardown runs on the main thread, and a library wait (10 s here)
// would hold every window message behind it. The stop comes before the
// first wait, or after one or three delivered events.
TEST_F(TeardownTest, StopBetweenTheStopCheckAndTheNextWaitIsNotLost) {
  const int eventsBeforeStop[] = {0, 1, 3};
  AuvexTest_SetDefaultTiming(0, 10000);
  AuvexTest_SetCallHook(&ParkUntilCancelled, &s_park);
  for (int round = 0; round < 30; ++round) {
    const int events = eventsBeforeStop[round % 3];
    CMonitorProcessor& proc = InitProcessor();
    ASSERT_EQ(AuvexTest_SetCancelKeptForNextWait(Monitor(), 0), 1);
    for (int i = 0; i < events; ++i) ASSERT_EQ(AuvexTest_QueueReservedEvent(Monitor(), 1, i), 1);
    s_park.parked = false;
    s_park.waitsToLetThrough = events;
    ASSERT_TRUE(proc.Start());
    ASSERT_TRUE(WaitUntil([] { return s_park.parked.load(); })) << "round " << round;
    auto start = Clock::now();
    m_pProc.reset();
    ASSERT_LT(Clock::now() - start, std::chrono::milliseconds(1000))
        << "round " << round << ", " << events << " events: the stop waited out a library wait";
  }
  AuvexTest_SetCallHook(nullptr, nullptr);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread"), 30);
}

TEST_F(TeardownTest, DestroyingAProcessorBlockedInItsWaitTurnsTheDeviceOffFirst) {
  AuvexTest_SetDefaultTiming(0, 60000);  // the wait would block for a minute
  CMonitorProcessor& proc = InitProcessor();
  ASSERT_TRUE(proc.Start());
  ASSERT_TRUE(WaitUntil([&] { return MonitorInfo().waiting != 0; }));
  Double().ClearRecord();
  TeardownProbe probe;
  AuvexTest_SetCallHook(&Probe, &probe);

  auto start = Clock::now();
  m_pProc.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5000));
  AuvexTest_SetCallHook(nullptr, nullptr);

  // The cancel is repeated until the thread has ended: one or more of them.
  probe.calls.erase(std::unique(probe.calls.begin(), probe.calls.end()), probe.calls.end());
  EXPECT_EQ(probe.calls, (std::vector<std::string>{"CancelWaitFrameChange", "PlugOutMonitor", "DestroyMonitorDevice"}));
  // SetResolution(0, 0) went out, then the link was closed, then the monitor removed.
  std::vector<CallRecord> all = Double().Calls();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all.back().call, Call::Free);
  std::vector<CallRecord> res = Double().Controls(kReqSetResolution);
  ASSERT_EQ(res.size(), 1u);
  EXPECT_EQ(ResolutionOf(res[0]), std::make_pair(0, 0));
  EXPECT_EQ(probe.openInterfacesAtPlugOut, 0u);
  EXPECT_EQ(probe.controlsAtPlugOut.size(), Double().Controls().size());
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread"), 1);
}

// UnInit right after Start, before the new thread has run: the stop request
// must stand, or the thread would go on waiting after UnInit (here each wait
// lasts 5 s, five of them before it gives up).
TEST_F(TeardownTest, StopRequestedBeforeTheNewThreadRunsIsNotLost) {
  AuvexTest_SetDefaultTiming(0, 5000);
  for (int i = 0; i < 40; ++i) {
    CMonitorProcessor& proc = InitProcessor();
    ASSERT_TRUE(proc.Start());
    auto start = Clock::now();
    m_pProc.reset();
    ASSERT_LT(Clock::now() - start, std::chrono::milliseconds(4000)) << "round " << i;
  }
  // A restart followed at once by UnInit, too.
  CMonitorProcessor& proc = InitProcessor();
  ASSERT_NO_FATAL_FAILURE(StartEndAndRestart(proc));
  auto start = Clock::now();
  m_pProc.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(4000));
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Start image thread"), 42);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread"), 42);
}

// A restarted thread counts as running from Start on, before it has run.
TEST_F(TeardownTest, RestartReportsRunningAtOnce) {
  CMonitorProcessor& proc = InitProcessor();
  ASSERT_NO_FATAL_FAILURE(StartEndAndRestart(proc));
  EXPECT_TRUE(proc.IsImageThreadRunning());
  ASSERT_TRUE(proc.UnInit());
  EXPECT_FALSE(proc.IsImageThreadRunning());
}

// Many processors created and destroyed with frames in flight and the
// monitor's resolution changing every few frames.
TEST_F(TeardownTest, StressCreateDestroyWithFramesInFlight) {
  AuvexTest_SetDefaultTiming(250, 200);
  const DWORD handlesBefore = [] {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
  }();
  const int modes[][2] = {{64, 32}, {96, 40}, {40, 24}, {128, 64}};
  constexpr int kWarmUpRounds = 30;
  int totalStarts = 0;
  size_t writes = 0;
  size_t heapBefore = 0;
  for (int round = 0; round < 200; ++round) {
    CMonitorProcessor& proc = InitProcessor();
    AuvexMonitor monitor = Monitor();
    ASSERT_TRUE(proc.Start());
    ++totalStarts;
    const uint32_t framesWanted = static_cast<uint32_t>(round % 7);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (uint32_t seen = 0; seen < framesWanted;) {
      ASSERT_LT(Clock::now(), deadline) << "round " << round << ": frames stopped coming";
      AuvexTestMonitorInfo info{};
      AuvexTest_GetMonitorInfo(monitor, &info);
      if (info.framesDelivered > seen) {
        seen = info.framesDelivered;
        if (seen % 3 == 0) AuvexTest_SetMode(monitor, modes[(round + seen) % 4][0], modes[(round + seen) % 4][1]);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (round % 50 == 25) {
      // Some rounds restart the thread before they end.
      AuvexTest_SetTiming(monitor, 0, 1);
      ASSERT_TRUE(ThreadEnds());
      AuvexTest_SetTiming(monitor, 250, 200);
      ASSERT_TRUE(proc.Start());
      ++totalStarts;
    }
    m_pProc.reset();
    ASSERT_EQ(Double().OpenInterfaces(), 0u) << "round " << round;
    ASSERT_EQ(AuvexTest_GetMonitors(nullptr, 0), 0) << "round " << round;
    writes += CheckWrittenFrames();
    Double().ClearRecord();
    if (round == kWarmUpRounds - 1) heapBefore = HeapBytesInUse();
  }
  EXPECT_GT(writes, 300u);
  // Every round allocates an encoder, its buffers, an output buffer, a
  // WinUSB and a thread; none of it may stay behind.
  const size_t heapAfter = HeapBytesInUse();
  // The allowance covers containers of the test's doubles that keep their
  // capacity; one encoder and output buffer per round would exceed it
  // several times over.
  EXPECT_LT(heapAfter, heapBefore + 256 * 1024) << "before " << heapBefore << ", after " << heapAfter;
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Start image thread"), totalStarts);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread"), totalStarts);
  EXPECT_EQ(_heapchk(), _HEAPOK);
  DWORD handlesAfter = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
  // Device files and thread handles are released every round; a few
  // handles of the runtime itself may come and go.
  EXPECT_LT(handlesAfter, handlesBefore + 20) << "before " << handlesBefore;
}

}  // namespace
}  // namespace proctest
