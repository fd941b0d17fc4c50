// Shared fixture of the monitor processor tests: a scripted USB display device
// (the WinUSB double), the stand-in libAuvex with its test control, a file
// standing in for the device interface, a log file per test, and the test
// itself playing the monitor manager (the processor's delegate).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Auvex.h"
#include "AuvexTestControl.h"
#include "AuvexTestEdid.h"
#include "CustomJpeg.h"
#include "FrameStream.h"
#include "LogFile.h"
#include "MonitorProcessor.h"
#include "QuantTablePayload.h"
#include "SkyTestSupport.h"
#include "WinUsbDouble.h"

namespace proctest {

using auvex_test::EdidWithMode;
using winusb_double::Call;
using winusb_double::CallRecord;
using winusb_double::CWinUsbDouble;
using winusb_double::Failure;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kReqGetState = 0x40;
constexpr uint8_t kReqEdid = 0x41;
constexpr uint8_t kReqSetResolution = 0x81;
constexpr uint8_t kReqSetQuantTable = 0x83;

// Windows path of a file in this test's own temporary directory.
inline std::wstring TestTmpPath(const std::wstring& name) {
  const std::string dir = skytest::TestTmpDir();
  return std::wstring(dir.begin(), dir.end()) + L"\\" + name;
}

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The resolution that a SetResolution control transfer carried.
inline std::pair<int, int> ResolutionOf(const CallRecord& r) {
  return {r.data.size() >= 4 ? r.data[0] | r.data[1] << 8 : -1, r.data.size() >= 4 ? r.data[2] | r.data[3] << 8 : -1};
}

// The test plays the monitor manager: no processor operation calls it.
struct RecordingDelegate : IMonitorProcessor::Delegate {
  int closeRequests = 0;
  void RequestClose() override { ++closeRequests; }
};

class ProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Double().Reset();
    AuvexTest_Reset();
    // Frames come quickly and an idle wait is short, so threads end fast.
    AuvexTest_SetDefaultTiming(100, 50);
    Double().SetEdid(EdidWithMode(64, 32), 256);

    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    m_devicePath = TestTmpPath(L"device-" + std::wstring(name.begin(), name.end()));
    HANDLE h =
        CreateFileW(m_devicePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    m_logPath = TestTmpPath(L"log-" + std::wstring(name.begin(), name.end()) + L".log");
    DeleteFileW(m_logPath.c_str());
    ASSERT_NE(CLogFile::Instance(m_logPath.c_str()), nullptr);
  }

  void TearDown() override {
    m_pProc.reset();
    CLogFile::Close();
    EXPECT_EQ(Double().OpenInterfaces(), 0u) << "WinUSB interface left open";
    EXPECT_EQ(AuvexTest_GetMonitors(nullptr, 0), 0) << "virtual monitor left behind";
    for (const std::string& misuse : Double().Misuses()) ADD_FAILURE() << "WinUSB misuse: " << misuse;
    EXPECT_EQ(m_delegate.closeRequests, 0);
    AuvexTest_Reset();
  }

  static CWinUsbDouble& Double() { return CWinUsbDouble::Get(); }

  CMonitorProcessor& NewProcessor() {
    m_pProc = std::make_unique<CMonitorProcessor>(&m_delegate);
    return *m_pProc;
  }
  // A processor that has passed Init on the scripted device.
  CMonitorProcessor& InitProcessor() {
    CMonitorProcessor& proc = NewProcessor();
    EXPECT_TRUE(proc.Init(m_devicePath.c_str()));
    return proc;
  }
  AuvexMonitor Monitor() {
    AuvexMonitor handles[4] = {};
    int n = AuvexTest_GetMonitors(handles, 4);
    EXPECT_EQ(n, 1);
    return n > 0 ? handles[0] : 0;
  }
  AuvexTestMonitorInfo MonitorInfo() {
    AuvexTestMonitorInfo info{};
    EXPECT_EQ(AuvexTest_GetMonitorInfo(Monitor(), &info), 1);
    return info;
  }
  // Waits for the frame thread to end on its own: stopped, and its last
  // line (written after the stop sequence released the mutex) logged.
  bool ThreadEnds(int timeoutMs = 10000) {
    return WaitUntil([&] { return !m_pProc->IsImageThreadRunning(); }, timeoutMs) &&
           WaitUntil(
               [&] {
                 return CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Start image thread") ==
                        CountLog("INFO", "CMonitorProcessor::Start::<lambda>", "Stop image thread");
               },
               timeoutMs);
  }

  // The log so far, one entry per line (without CR LF).
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    FILE* f = _wfopen(m_logPath.c_str(), L"rb");
    if (!f) return lines;
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) all.append(buf, n);
    std::fclose(f);
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find("\r\n", start);
      if (end == std::string::npos) end = all.size();
      lines.push_back(all.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }
  // Lines written by `function` at `level` ("INFO" or "ERROR") with exactly this message.
  int CountLog(const char* level, const std::string& function, const std::string& message) const {
    std::string tag = std::string("[") + level + "]";
    tag.resize(8, ' ');
    const std::string tail = tag + " [" + function + "] " + message;
    int count = 0;
    for (const std::string& line : LogLines())
      if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) ++count;
    return count;
  }
  int CountLogContaining(const std::string& text) const {
    int count = 0;
    for (const std::string& line : LogLines())
      if (line.find(text) != std::string::npos) ++count;
    return count;
  }

  // SetResolution, SetQuantTable and bulk writes in the order they happened.
  std::vector<CallRecord> FrameTraffic() const {
    std::vector<CallRecord> out;
    for (const CallRecord& r : Double().Calls()) {
      if (r.call == Call::WritePipe) out.push_back(r);
      if (r.call == Call::ControlTransfer && (r.Request() == kReqSetResolution || r.Request() == kReqSetQuantTable))
        out.push_back(r);
    }
    return out;
  }

  // Checks every bulk write: a valid frame stream for the resolution last
  // set before it (strip headers, sequence, last bit, FF D9, padding), sent
  // as its encoded length plus one byte. Returns the number of writes.
  size_t CheckWrittenFrames() const {
    std::pair<int, int> res{0, 0};
    size_t writes = 0;
    for (const CallRecord& r : FrameTraffic()) {
      if (r.call == Call::ControlTransfer && r.Request() == kReqSetResolution) {
        if (ResolutionOf(r).first != 0) res = ResolutionOf(r);
        continue;
      }
      if (r.call != Call::WritePipe) continue;
      ++writes;
      EXPECT_NE(res.first, 0) << "bulk write " << writes << " before any resolution";
      EXPECT_GE(r.data.size(), 129u);
      EXPECT_EQ((r.data.size() - 1) % 128, 0u) << "write " << writes << " is not encoded length + 1";
      if (r.data.size() < 129) continue;
      framestream::StreamCheck check = framestream::CheckStream(r.data.data(), r.data.size() - 1,
                                                                framestream::ExpectedStrips(res.first, res.second));
      EXPECT_TRUE(check.ok) << "write " << writes << " at " << res.first << "x" << res.second << ": " << check.error
                            << " (strip " << check.errorStrip << ", offset " << check.errorOffset << ")";
    }
    return writes;
  }

  static Bytes ExpectedPayload() {
    jpeg::CustomJpeg encoder;
    jpeg::QuantTablePayload payload = jpeg::BuildQuantTablePayload(encoder);
    return Bytes(payload.begin(), payload.end());
  }

  RecordingDelegate m_delegate;
  std::unique_ptr<CMonitorProcessor> m_pProc;
  std::wstring m_devicePath;
  std::wstring m_logPath;
};

}  // namespace proctest
