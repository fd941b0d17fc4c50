// Frame statistics: the sums, worst cases and line timing of CFrameStats, and
// the processor's statistics line checked against what a scripted device saw.
#include <regex>

#include "FrameStats.h"
#include "ProcessorTestSupport.h"

namespace proctest {
namespace {

// ---- CFrameStats on its own ---------------------------------------------------

TEST(FrameStats, SummaryAddsUpTheFrames) {
  const struct Case {
    const char* name;
    int64_t ticksPerSecond;
    std::vector<FrameSample> samples;
    FrameStatsSummary expected;
  } cases[] = {
      {"no frame", 1000, {}, {0, 0, 0, 0, 0.0, 0.0, 0.0, 0.0}},
      {"one tick per millisecond",
       1000,
       {{2, 4, 1000, true, 0}, {6, 10, 500, false, 2}, {4, 1, 300, true, 1}},
       {3, 2, 3, 1300, 4.0, 6.0, 5.0, 10.0}},
      {"ten megahertz counter",
       10000000,
       {{15000, 5000, 128, true, 0}, {25000, 95000, 256, true, 0}},
       {2, 2, 0, 384, 2.0, 2.5, 5.0, 9.5}},
      {"a counter that stepped back counts as no time",
       1000,
       {{-5, -1, 128, true, 0}, {3, 3, 128, true, 0}},
       {2, 2, 0, 256, 1.5, 3.0, 1.5, 3.0}},
      {"bytes beyond four gigabytes",
       1000,
       {{1, 1, 0xF0000000u, true, 0}, {1, 1, 0xF0000000u, true, 0}},
       {2, 2, 0, 0x1E0000000ull, 1.0, 1.0, 1.0, 1.0}},
  };
  for (const Case& c : cases) {
    CFrameStats stats(c.ticksPerSecond, c.ticksPerSecond * 60);
    for (const FrameSample& s : c.samples) stats.Add(s);
    const FrameStatsSummary got = stats.Summary();
    EXPECT_EQ(got.encoded, c.expected.encoded) << c.name;
    EXPECT_EQ(got.written, c.expected.written) << c.name;
    EXPECT_EQ(got.failedWrites, c.expected.failedWrites) << c.name;
    EXPECT_EQ(got.bytes, c.expected.bytes) << c.name;
    EXPECT_DOUBLE_EQ(got.encodeMeanMs, c.expected.encodeMeanMs) << c.name;
    EXPECT_DOUBLE_EQ(got.encodeWorstMs, c.expected.encodeWorstMs) << c.name;
    EXPECT_DOUBLE_EQ(got.writeMeanMs, c.expected.writeMeanMs) << c.name;
    EXPECT_DOUBLE_EQ(got.writeWorstMs, c.expected.writeWorstMs) << c.name;
  }
}

// A line is due once per interval, counted from the first frame and then
// from the last line; frames closer together than that write none.
TEST(FrameStats, LineIsDueOncePerIntervalWhileFramesFlow) {
  const struct Case {
    const char* name;
    std::vector<int64_t> frames;  // counter value after each frame
    std::vector<bool> due;
  } cases[] = {
      {"first frame starts the clock", {100}, {false}},
      {"just short of and at the interval", {100, 159, 160, 161}, {false, false, true, false}},
      {"next interval counts from the last line", {0, 61, 120, 121}, {false, true, false, true}},
      {"a long pause gives one line, not one per missed interval", {0, 600, 601, 659}, {false, true, false, false}},
      {"counter near its top", {INT64_MAX - 100, INT64_MAX - 41, INT64_MAX - 40}, {false, false, true}},
  };
  for (const Case& c : cases) {
    CFrameStats stats(1, 60);
    std::vector<bool> got;
    for (int64_t now : c.frames) got.push_back(stats.LineDue(now));
    EXPECT_EQ(got, c.due) << c.name;
  }
}

// ---- The processor's line -------------------------------------------------------

constexpr char kStatsFunction[] = "CMonitorProcessor::LogFrameStats";

struct StatsLine {
  unsigned encoded = 0, written = 0, failedWrites = 0;
  unsigned long long bytes = 0;
  double encodeMean = 0, encodeWorst = 0, writeMean = 0, writeWorst = 0;
  std::string path;
};

// Parses one whole log line; false when it does not have the exact format.
bool ParseStatsLine(const std::string& line, StatsLine& out) {
  static const std::regex format(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d{4,}/\d{4,}\] \[INFO\]   \[CMonitorProcessor::LogFrameStats\] )"
      R"(frame stats: encoded (\d+) written (\d+) bytes (\d+) encode ms mean (\d+\.\d{3}) worst (\d+\.\d{3}) )"
      R"(write ms mean (\d+\.\d{3}) worst (\d+\.\d{3}) failed writes (\d+) path (.+))");
  std::smatch m;
  if (!std::regex_match(line, m, format)) return false;
  out.encoded = std::stoul(m[1]);
  out.written = std::stoul(m[2]);
  out.bytes = std::stoull(m[3]);
  out.encodeMean = std::stod(m[4]);
  out.encodeWorst = std::stod(m[5]);
  out.writeMean = std::stod(m[6]);
  out.writeWorst = std::stod(m[7]);
  out.failedWrites = std::stoul(m[8]);
  out.path = m[9];
  return true;
}

class FrameStatsRunTest : public ProcessorTest {
 protected:
  void SetUp() override {
    ProcessorTest::SetUp();
    AuvexTest_SetDefaultTiming(0, 5);  // only the queued frames
  }
  void QueueNoise(int count) {
    uint32_t seed = 7;
    for (int i = 0; i < count; ++i) {
      m_frames.emplace_back(256 * 128 * 4);
      for (uint8_t& b : m_frames.back()) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
      ASSERT_EQ(AuvexTest_QueueImage(Monitor(), 256, 128, 256 * 4, m_frames.back().data()), 1);
    }
  }
  std::vector<std::string> StatsLines() const {
    std::vector<std::string> out;
    for (const std::string& line : LogLines())
      if (line.find(std::string("[") + kStatsFunction + "]") != std::string::npos) out.push_back(line);
    return out;
  }
  std::vector<Bytes> m_frames;
};

// The teardown line against the device's record: frames, whole writes, the
// bytes of the frames it took, failed and short writes, and write times that
// include every write of a frame (the double makes each write take 20 ms).
TEST_F(FrameStatsRunTest, TeardownLineMatchesWhatTheDeviceSaw) {
  constexpr DWORD kWriteMs = 20;
  const struct Case {
    const char* name;
    unsigned failAfter, failCount;  // bulk writes that pass, then fail
    ULONG transferLimit;            // 0: whole writes
    unsigned expectWritten, expectFailed;
    int writesInWorstFrame;
  } cases[] = {
      {"every write whole", 0, 0, 0, 4, 0, 1},
      {"one failed write, the retry succeeds", 1, 1, 0, 4, 1, 2},
      {"a write and its retry fail", 2, 2, 0, 3, 2, 2},
      {"short writes", 0, 0, 100, 0, 4, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t linesBefore = StatsLines().size();
    InitProcessor();
    Double().ClearRecord();
    Double().SetWriteDelay(kWriteMs);
    if (c.transferLimit) Double().SetWriteTransferLimit(c.transferLimit);
    if (c.failCount) {
      Failure f;
      f.call = Call::WritePipe;
      f.skip = c.failAfter;
      f.count = c.failCount;
      Double().InjectFailure(f);
    }
    QueueNoise(4);
    ASSERT_TRUE(m_pProc->Start());
    ASSERT_TRUE(ThreadEnds());
    EXPECT_EQ(StatsLines().size(), linesBefore) << "a line before the interval passed";
    m_pProc->UnInit();

    unsigned long long bytesTaken = 0;
    for (const CallRecord& w : Double().Writes())
      if (w.result && w.transferred == w.data.size()) bytesTaken += w.data.size() - 1;  // the frame, not the extra byte
    const std::vector<std::string> lines = StatsLines();
    ASSERT_EQ(lines.size(), linesBefore + 1);
    StatsLine s;
    ASSERT_TRUE(ParseStatsLine(lines.back(), s)) << lines.back();
    EXPECT_EQ(s.encoded, 4u);
    EXPECT_EQ(s.written, c.expectWritten);
    EXPECT_EQ(s.failedWrites, c.expectFailed);
    EXPECT_EQ(s.bytes, bytesTaken);
    EXPECT_GE(s.bytes, 128ull * c.expectWritten);  // every frame is at least 128 bytes
    EXPECT_EQ(std::wstring(s.path.begin(), s.path.end()), m_devicePath);
    EXPECT_GT(s.encodeMean, 0.0);
    EXPECT_LE(s.encodeMean, s.encodeWorst);
    EXPECT_LE(s.writeMean, s.writeWorst);
    // Timers may wake a little early under Wine: allow one millisecond.
    EXPECT_GE(s.writeMean, kWriteMs - 1.0);
    EXPECT_GE(s.writeWorst, c.writesInWorstFrame * kWriteMs - 1.0);

    // The destructor runs UnInit again: no second teardown line.
    m_pProc.reset();
    EXPECT_EQ(StatsLines().size(), linesBefore + 1);
    Double().Reset();
    Double().SetEdid(EdidWithMode(64, 32), 256);
  }
}

// A processor whose frame thread never ran has nothing to report.
TEST_F(FrameStatsRunTest, NoLineWithoutAFrameThread) {
  InitProcessor();
  m_pProc.reset();
  CMonitorProcessor& failed = NewProcessor();
  EXPECT_FALSE(failed.Init(L"Z:\\no\\such\\device"));
  m_pProc.reset();
  EXPECT_TRUE(StatsLines().empty());
}

}  // namespace
}  // namespace proctest
