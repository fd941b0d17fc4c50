// The frame thread: what reaches the device for each frame the library
// delivers (resolution and tables, bulk writes, recovery from failed writes),
// which frames are refused, and when the thread ends on its own.
#include <malloc.h>

#include <algorithm>
#include <map>

#include "ProcessorTestSupport.h"

namespace proctest {
namespace {

// A frame of pseudo-random pixels (the worst case for the encoder's output).
struct Frame {
  int width, height, pitch;
  Bytes pixels;
};

Frame NoiseFrame(int width, int height, int pitch = 0, uint32_t seed = 1) {
  Frame f{width, height, pitch ? pitch : width * 4, {}};
  f.pixels.resize(static_cast<size_t>(f.pitch) * height);
  for (uint8_t& b : f.pixels) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return f;
}

class FrameTest : public ProcessorTest {
 protected:
  void SetUp() override {
    ProcessorTest::SetUp();
    // No frames of the source: every frame comes from the test's queue, and
    // once the queue is empty the waits end with 2 after 5 ms.
    AuvexTest_SetDefaultTiming(0, 5);
  }
  // Queued frames stay alive until the test ends.
  void Queue(const Frame& f) {
    m_frames.push_back(std::make_unique<Frame>(f));
    ASSERT_EQ(AuvexTest_QueueImage(Monitor(), f.width, f.height, f.pitch, m_frames.back()->pixels.data()), 1);
  }
  // Starts the frame thread and waits until it has ended by itself (the
  // queue ran dry and five waits returned 2).
  void RunUntilIdle() {
    ASSERT_TRUE(m_pProc->Start());
    ASSERT_TRUE(ThreadEnds());
  }
  // The frame traffic as a compact script: "R64x32" SetResolution, "Q" the
  // quantisation tables, "W" a bulk write.
  std::vector<std::string> Script() const {
    std::vector<std::string> out;
    for (const CallRecord& r : FrameTraffic()) {
      if (r.call == Call::WritePipe)
        out.push_back(r.result ? "W" : "W!");
      else if (r.Request() == kReqSetQuantTable)
        out.push_back("Q");
      else
        out.push_back("R" + std::to_string(ResolutionOf(r).first) + "x" + std::to_string(ResolutionOf(r).second));
    }
    return out;
  }
  using S = std::vector<std::string>;

  // The next control transfer of `bRequest` after `skip` others fails once.
  void FailOnce(int bRequest, unsigned skip = 0) {
    Failure f;
    f.call = Call::ControlTransfer;
    f.bRequest = bRequest;
    f.skip = skip;
    f.count = 1;
    Double().InjectFailure(f);
  }

  std::vector<std::unique_ptr<Frame>> m_frames;
};

TEST_F(FrameTest, FirstFrameSendsResolutionAndTablesBeforeItsWrite) {
  InitProcessor();
  Double().ClearRecord();
  for (int i = 0; i < 3; ++i) Queue(NoiseFrame(64, 32, 0, i + 1));
  RunUntilIdle();

  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "W", "W", "R0x0"}));
  std::vector<CallRecord> res = Double().Controls(kReqSetResolution);
  ASSERT_FALSE(res.empty());
  EXPECT_EQ(res[0].data, (Bytes{0x40, 0x00, 0x20, 0x00}));
  std::vector<CallRecord> tables = Double().Controls(kReqSetQuantTable);
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].Value(), 1);
  EXPECT_EQ(tables[0].Length(), 138);
  EXPECT_EQ(tables[0].data, ExpectedPayload());
  EXPECT_EQ(CheckWrittenFrames(), 3u);

  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::OnResolutionChange", "OnResolutionChange (64,32)"), 1);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Start image thread"), 1);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread"), 1);
  EXPECT_EQ(CountLogContaining("error is"), 0);
}

TEST_F(FrameTest, FramesThatCannotBeEncodedSafelyAreRefused) {
  InitProcessor();
  Double().ClearRecord();
  Bytes pixels(64 * 32 * 4 * 2, 0x80);
  const struct {
    int width, height, pitch;
    const void* data;
  } bad[] = {
      {0, 32, 256, pixels.data()},   {64, 0, 256, pixels.data()},   {64, 32, 0, pixels.data()},
      {64, 32, 256, nullptr},        {-64, 32, 256, pixels.data()}, {64, -32, 256, pixels.data()},
      {64, 32, -256, pixels.data()}, {64, 32, 255, pixels.data()},  {64, 32, 64, pixels.data()},
      {64, 32, 4, pixels.data()},    {-1, -1, -1, pixels.data()},
  };
  for (const auto& b : bad) ASSERT_EQ(AuvexTest_QueueImage(Monitor(), b.width, b.height, b.pitch, b.data), 1);
  AuvexTest_QueueReservedEvent(Monitor(), 1, 5);
  AuvexTest_QueueReservedEvent(Monitor(), 2, 6);
  RunUntilIdle();

  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::OnImageChange", "imageData data is invalid"),
            static_cast<int>(std::size(bad)));
  EXPECT_EQ(Script(), (S{"R0x0"}));  // nothing but the stop sequence
  EXPECT_EQ(CountLogContaining("OnResolutionChange"), 0);
}

TEST_F(FrameTest, RowsLongerThanTheFrameAreEncodedFromTheirStart) {
  InitProcessor();
  Double().ClearRecord();
  Queue(NoiseFrame(50, 20, 50 * 4 + 24));
  Queue(NoiseFrame(50, 20, 50 * 4));
  RunUntilIdle();
  EXPECT_EQ(Script(), (S{"R50x20", "Q", "W", "W", "R0x0"}));
  EXPECT_EQ(CheckWrittenFrames(), 2u);
}

TEST_F(FrameTest, ShortWriteIsLoggedOnceAndNotRetried) {
  InitProcessor();
  Double().ClearRecord();
  Double().SetWriteTransferLimit(100);
  Queue(NoiseFrame(64, 32));
  Queue(NoiseFrame(64, 32, 0, 9));
  RunUntilIdle();
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "W", "R0x0"}));
  std::vector<CallRecord> writes = Double().Writes();
  ASSERT_EQ(writes.size(), 2u);
  std::map<std::string, int> expected;
  for (const CallRecord& w : writes)
    ++expected["m_pWinUsb->Write writelen " + std::to_string(w.data.size() - 1) + " actlen 100"];
  for (const auto& [message, count] : expected)
    EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::OnImageChange", message), count) << message;
  EXPECT_EQ(CountLogContaining("actlen"), 2);
}

TEST_F(FrameTest, FailedWriteResendsModeAndTablesAndWritesAgain) {
  InitProcessor();
  Double().ClearRecord();
  Failure f;
  f.call = Call::WritePipe;
  f.count = 1;
  Double().InjectFailure(f);
  Queue(NoiseFrame(64, 32));
  Queue(NoiseFrame(64, 32, 0, 2));
  RunUntilIdle();

  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W!", "R64x32", "Q", "W", "W", "R0x0"}));
  // The pipe was reset before the failed write returned.
  std::vector<CallRecord> all = Double().Calls();
  auto failed = std::find_if(all.begin(), all.end(), [](const CallRecord& r) { return r.call == Call::WritePipe; });
  ASSERT_NE(failed, all.end());
  ASSERT_NE(failed + 1, all.end());
  EXPECT_EQ((failed + 1)->call, Call::ResetPipe);
  std::vector<CallRecord> writes = Double().Writes();
  EXPECT_EQ(writes[0].data, writes[1].data);  // the same frame, once more
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::OnImageChange", "m_pWinUsb->Write failed"), 1);
  EXPECT_EQ(CheckWrittenFrames(), 3u);
}

TEST_F(FrameTest, TwiceFailedWriteLosesOnlyThatFrame) {
  InitProcessor();
  Double().ClearRecord();
  Failure f;
  f.call = Call::WritePipe;
  f.count = 2;
  Double().InjectFailure(f);
  Queue(NoiseFrame(64, 32));
  Queue(NoiseFrame(64, 32, 0, 2));
  RunUntilIdle();
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W!", "R64x32", "Q", "W!", "W", "R0x0"}));
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::OnImageChange", "m_pWinUsb->Write failed"), 1);
}

// Every change of size reaches the device before the first frame of that
// size, and every frame's stream matches the size it was announced with.
// Tiny frames encode to more bytes than their pixels: the output buffer
// must come from the encoder's bound.
TEST_F(FrameTest, ResolutionChangesAreAnnouncedAndTinyFramesFitTheBuffer) {
  InitProcessor();
  Double().ClearRecord();
  const int sizes[][2] = {{64, 32}, {64, 32}, {100, 50}, {100, 50}, {1, 1}, {1, 9}, {33, 1}, {32, 8}, {64, 32}};
  for (const auto& s : sizes) Queue(NoiseFrame(s[0], s[1], 0, static_cast<uint32_t>(s[0] * 7 + s[1])));
  RunUntilIdle();
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W",     "W", "R100x50", "Q",     "W", "W", "R1x1",   "Q", "W", "R1x9",
                         "Q",      "W", "R33x1", "Q", "W",       "R32x8", "Q", "W", "R64x32", "Q", "W", "R0x0"}));
  EXPECT_EQ(CheckWrittenFrames(), std::size(sizes));
  EXPECT_EQ(_heapchk(), _HEAPOK) << "the output buffer overflowed";
}

TEST_F(FrameTest, FailedModeChangeStillWritesTheFrameAndRetriesOnTheNext) {
  InitProcessor();
  Double().ClearRecord();
  FailOnce(kReqSetResolution);
  Queue(NoiseFrame(64, 32));
  Queue(NoiseFrame(64, 32, 0, 2));
  RunUntilIdle();
  // The first SetResolution fails: the frame is written anyway, and the
  // stored size stays 0 x 0, so the next frame announces the mode again.
  EXPECT_EQ(Script(), (S{"R64x32", "W", "R64x32", "Q", "W", "R0x0"}));
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::TurnOnTablet", "m_pWinUsb->SetResolution failed"), 1);
  EXPECT_EQ(CountLogContaining("OnResolutionChange (64,32)"), 2);
}

// A change that fails at the device leaves the encoder at the new size and
// the stored size at the old one: a frame of the old size coming back must
// set the encoder up again, not be read as a frame of the other size.
TEST_F(FrameTest, FrameOfTheOldSizeAfterAFailedChangeSetsTheEncoderUpAgain) {
  InitProcessor();
  Double().ClearRecord();
  FailOnce(kReqSetResolution, 1);  // the second one fails
  Queue(NoiseFrame(64, 32));
  Queue(NoiseFrame(64, 64, 0, 2));
  Queue(NoiseFrame(64, 32, 0, 3));
  RunUntilIdle();
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "R64x64", "W", "R64x32", "Q", "W", "R0x0"}));
  EXPECT_EQ(CheckWrittenFrames(), 3u);
}

TEST_F(FrameTest, FailedTablesAreLoggedAndRetried) {
  InitProcessor();
  Double().ClearRecord();
  FailOnce(kReqSetQuantTable);
  Queue(NoiseFrame(64, 32));
  Queue(NoiseFrame(64, 32, 0, 2));
  RunUntilIdle();
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "R64x32", "Q", "W", "R0x0"}));
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::TurnOnTablet", "m_pWinUsb->SetQuantTable failed"), 1);
}

// The encoder refuses sizes it cannot code: such frames are dropped with the
// encoder's message and no traffic, and the next good frame, whatever its
// size, sets the encoder up again.
TEST_F(FrameTest, FramesTheEncoderRefusesAreDroppedAndTheNextOneRecovers) {
  InitProcessor();
  Double().ClearRecord();
  const int huge = jpeg::CustomJpeg::kMaxDimension + 1;
  Queue(NoiseFrame(huge, 1));       // no encoder yet: Init fails
  Queue(NoiseFrame(64, 32));        // the encoder object exists: Resize
  Queue(NoiseFrame(huge, 1));       // Resize fails
  Queue(NoiseFrame(64, 32, 0, 3));  // same size as before the failure
  RunUntilIdle();
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::OnResolutionChange", "jpeg init failed"), 1);
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::OnResolutionChange", "jpeg resize failed"), 1);
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "R64x32", "Q", "W", "R0x0"}));
  EXPECT_EQ(CheckWrittenFrames(), 2u);
}

TEST_F(FrameTest, FiveNothingNewResultsEndTheThreadQuietly) {
  CMonitorProcessor& proc = InitProcessor();
  AuvexTest_SetTiming(Monitor(), 0, 1);
  auto start = Clock::now();
  ASSERT_TRUE(proc.Start());
  EXPECT_TRUE(proc.IsImageThreadRunning());
  ASSERT_TRUE(ThreadEnds());
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(480));  // five 100 ms pauses
  EXPECT_EQ(MonitorInfo().waits, 5u);
  EXPECT_EQ(CountLogContaining("error is"), 0);
  EXPECT_EQ(Script(), (S{"R0x0"}));
}

TEST_F(FrameTest, ADeliveredEventResetsTheCountOfNothingNew) {
  CMonitorProcessor& proc = InitProcessor();
  AuvexTest_SetTiming(Monitor(), 0, 1);
  for (int i = 0; i < 4; ++i) AuvexTest_QueueWaitResult(Monitor(), kAuvexWaitNothingNew);
  AuvexTest_QueueReservedEvent(Monitor(), 1, 0);
  ASSERT_TRUE(proc.Start());
  ASSERT_TRUE(ThreadEnds());
  // Four 2s, the event (0), then five more 2s.
  EXPECT_EQ(MonitorInfo().waits, 10u);
}

TEST_F(FrameTest, OtherWaitResultsEndTheThreadWithOneLine) {
  CMonitorProcessor& proc = InitProcessor();
  Double().ClearRecord();
  Queue(NoiseFrame(64, 32));
  AuvexTest_QueueWaitResult(Monitor(), 7);
  Queue(NoiseFrame(64, 32));  // never delivered
  ASSERT_TRUE(proc.Start());
  ASSERT_TRUE(ThreadEnds());
  EXPECT_EQ(MonitorInfo().waits, 2u);
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::WaitFrameUpdate", "error is 7"), 1);
  EXPECT_EQ(CountLogContaining("error is"), 1);
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "R0x0"}));
}

TEST_F(FrameTest, InactiveMonitorTurnsTheDeviceOffButKeepsTheMode) {
  CMonitorProcessor& proc = InitProcessor();
  Double().ClearRecord();
  Queue(NoiseFrame(64, 32));
  ASSERT_EQ(AuvexTest_SetActive(Monitor(), 0), 1);
  Queue(NoiseFrame(64, 32, 0, 2));
  EXPECT_FALSE(proc.IsMonitorActive());
  RunUntilIdle();
  // Off, then the next frame of the same size goes out without a new mode.
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "R0x0", "W", "R0x0"}));
  ASSERT_EQ(AuvexTest_SetActive(Monitor(), 1), 1);
  EXPECT_TRUE(proc.IsMonitorActive());
}

TEST_F(FrameTest, RestartedThreadAnnouncesTheModeAgain) {
  CMonitorProcessor& proc = InitProcessor();
  Double().ClearRecord();
  Queue(NoiseFrame(64, 32));
  RunUntilIdle();
  Queue(NoiseFrame(64, 32, 0, 2));
  ASSERT_TRUE(proc.Start());  // joins the ended thread, starts a new one
  ASSERT_TRUE(ThreadEnds());
  EXPECT_EQ(Script(), (S{"R64x32", "Q", "W", "R0x0", "R64x32", "Q", "W", "R0x0"}));
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Start image thread"), 2);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread"), 2);
}

TEST_F(FrameTest, SyntheticDesktopFramesFromTheLibraryAreWrittenValid) {
  CMonitorProcessor& proc = InitProcessor();
  Double().ClearRecord();
  AuvexTest_SetTiming(Monitor(), 100, 200);
  ASSERT_TRUE(proc.Start());
  ASSERT_TRUE(WaitUntil([&] { return Double().Writes().size() >= 5; }));
  ASSERT_EQ(AuvexTest_SetMode(Monitor(), 96, 40), 1);
  size_t before = Double().Writes().size();
  ASSERT_TRUE(WaitUntil([&] { return Double().Writes().size() >= before + 5; }));
  m_pProc.reset();
  EXPECT_GE(CheckWrittenFrames(), 10u);
  EXPECT_EQ(Double().Controls(kReqSetQuantTable).size(), 2u);
}

}  // namespace
}  // namespace proctest
