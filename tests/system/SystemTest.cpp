// System tests: the shipped Skyvane.exe under Wine, started as SYSTEM by the
// launcher stand-in, with simulated USB display devices (winusb.dll and
// cfgmgr32.dll stand-ins) and the stand-in libAuvex beside it. Each case
// works in its own directory: the simulated devices, the program's
// temporary directory (log, dumps) and its standard output.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FrameStream.h"
#include "Launcher.h"
#include "SimRecords.h"
#include "SimState.h"
#include "SkyTestSupport.h"

namespace {

using launcher::Launcher;
using usbsim::DeviceConfig;
using usbsim::UsbEvent;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kSources = 3;
constexpr DWORD kStartMs = 20000;
constexpr DWORD kExitMs = 30000;

std::wstring Stage() { return usbsim::ToWindowsPath(usbsim::Widen(SKY_STAGE_DIR)); }

using skytest::Count;
using skytest::ReadText;

DeviceConfig Device(const wchar_t* name) {
  DeviceConfig d;
  d.name = name;
  d.width = kWidth;
  d.height = kHeight;
  return d;
}

// Smooth, moving desktop-like source frames (gradient wallpaper, a soft
// window and a round cursor), raw BGRX, delivered by the virtual monitors in
// turn; frame k of every monitor shows source k mod kSources.
void WriteSources(const std::wstring& simDir) {
  std::string list = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "\n";
  std::wstring files;
  for (int k = 0; k < kSources; ++k) {
    std::vector<uint8_t> px(size_t(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        double r = 60 + 120.0 * x / kWidth, g = 90 + 100.0 * y / kHeight, b = 160 - 60.0 * x / kWidth;
        double wx = x - (60 + 30 * k), wy = y - 50;
        if (wx > 0 && wx < 160 && wy > 0 && wy < 110) r = g = b = 235 - 0.2 * wy;  // a window
        double cx = x - (200 + 20 * k), cy = y - (150 - 10 * k);
        double d = std::sqrt(cx * cx + cy * cy);
        double a = d < 12 ? 1.0 : d < 20 ? (20 - d) / 8 : 0.0;  // soft cursor
        r = r * (1 - a) + 30 * a;
        g = g * (1 - a) + 200 * a;
        b = b * (1 - a) + 90 * a;
        uint8_t* p = &px[(size_t(y) * kWidth + x) * 4];
        p[0] = uint8_t(b);
        p[1] = uint8_t(g);
        p[2] = uint8_t(r);
        p[3] = 0;
      }
    }
    std::wstring name = L"source_" + std::to_wstring(k) + L".bgrx";
    FILE* f = _wfopen((simDir + L"\\" + name).c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    fwrite(px.data(), 1, px.size(), f);
    fclose(f);
    list += usbsim::Narrow(name) + "\n";
    files += (files.empty() ? L"" : L";") + simDir + L"\\" + name;
  }
  FILE* f = _wfopen((simDir + L"\\sources.txt").c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  fputs(list.c_str(), f);
  fclose(f);
  SetEnvironmentVariableW(L"AUVEX_FRAME_FILES", files.c_str());
  SetEnvironmentVariableW(L"AUVEX_FRAME_SIZE", (std::to_wstring(kWidth) + L"x" + std::to_wstring(kHeight)).c_str());
}

// One run of the program in its own directory.
class SystemCase {
 public:
  explicit SystemCase(const wchar_t* name) {
    const char* root = getenv("SKY_TEST_TMP");
    m_dir = usbsim::ToWindowsPath(usbsim::Widen(root ? root : "/tmp")) + L"\\" + name;
    usbsim::RemoveTree(m_dir);
    CreateDirectoryW(m_dir.c_str(), nullptr);
    m_sim = m_dir + L"\\sim";
    m_tmp = m_dir + L"\\tmp";
    CreateDirectoryW(m_sim.c_str(), nullptr);
    CreateDirectoryW(m_tmp.c_str(), nullptr);
    // The program's temporary directory: its log and its dumps.
    SetEnvironmentVariableW(L"TMP", m_tmp.c_str());
    SetEnvironmentVariableW(L"TEMP", m_tmp.c_str());
    SetEnvironmentVariableW(L"AUVEX_FRAME_FILES", nullptr);
    SetEnvironmentVariableW(L"AUVEX_FRAME_SIZE", nullptr);
    SetEnvironmentVariableW(L"AUVEX_FRAME_RATE", nullptr);
    m_run = std::make_unique<Launcher>(m_sim);
  }

  Launcher& Run() { return *m_run; }
  bool Start(const wchar_t* exe = L"Skyvane.exe", bool stopEvent = true) {
    if (stopEvent && !m_run->CreateStopEvent()) return false;
    return m_run->Start(Stage() + L"\\" + exe, Stdout());
  }
  // Plugs one device, starts the program and waits for its window and the
  // device's first `frames` frames; says which step failed.
  ::testing::AssertionResult StartStreaming(const wchar_t* device, unsigned frames,
                                            const wchar_t* exe = L"Skyvane.exe") {
    if (!m_run->Plug(Device(device))) return ::testing::AssertionFailure() << "plug failed";
    if (!Start(exe)) return ::testing::AssertionFailure() << "start failed";
    if (m_run->WaitForWindow(kStartMs) == nullptr) return ::testing::AssertionFailure() << "no window";
    if (!m_run->WaitForFrames(device, frames, kStartMs)) return ::testing::AssertionFailure() << "no frames";
    return ::testing::AssertionSuccess();
  }
  // Signals the stop event and waits for the exit code (~0u on time-out).
  DWORD Stop() {
    DWORD code = ~0u;
    if (!m_run->SignalStop() || !m_run->WaitForExit(kExitMs, &code)) return ~0u;
    return code;
  }
  std::wstring Sim() const { return m_sim; }
  std::wstring Tmp() const { return m_tmp; }
  std::wstring Stdout() const { return m_dir + L"\\stdout.txt"; }
  std::string Log() const { return ReadText(m_tmp + L"\\Skyvane.log"); }
  std::string Output() const { return ReadText(Stdout()); }
  std::wstring DevDir(const wchar_t* name) const { return usbsim::DeviceDirectory(m_sim, name); }
  std::vector<UsbEvent> Usb(const wchar_t* name) const { return usbsim::ReadUsbLog(DevDir(name)); }
  std::string PathText(const wchar_t* name) const { return usbsim::Narrow(m_run->DevicePath(name)); }

 private:
  std::wstring m_dir, m_sim, m_tmp;
  std::unique_ptr<Launcher> m_run;
};

// The device went through a whole session: opened, set to the frame size
// and loaded with the quantisation tables before its first frame, and left
// at 0 x 0 before its link closed.
void ExpectCleanSession(const std::vector<UsbEvent>& events, int width, int height) {
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().kind, "INIT");
  EXPECT_EQ(events.back().kind, "FREE");
  int firstBulk = -1, firstRes = -1, firstQuant = -1, lastRes = -1;
  for (int i = 0; i < int(events.size()); ++i) {
    const auto& e = events[size_t(i)];
    if (e.kind == "BULK" && firstBulk < 0) firstBulk = i;
    if (e.IsSetResolution()) {
      if (firstRes < 0) firstRes = i;
      lastRes = i;
    }
    if (e.IsSetQuantTable() && firstQuant < 0) firstQuant = i;
    EXPECT_TRUE(e.ok) << e.text;
  }
  ASSERT_GE(firstBulk, 0);
  ASSERT_GE(firstRes, 0);
  ASSERT_GE(firstQuant, 0);
  EXPECT_LT(firstRes, firstBulk);
  EXPECT_LT(firstQuant, firstBulk);
  EXPECT_EQ(events[size_t(firstRes)].ResolutionWidth(), width);
  EXPECT_EQ(events[size_t(firstRes)].ResolutionHeight(), height);
  const auto& quant = events[size_t(firstQuant)];
  ASSERT_EQ(quant.data.size(), 138u);
  std::vector<uint8_t> t0(quant.data.begin() + 5, quant.data.begin() + 13);
  EXPECT_EQ(t0, (std::vector<uint8_t>{1, 2, 2, 3, 5, 8, 10, 12}));
  uint8_t table0[64], table1[64];
  std::string error;
  EXPECT_TRUE(framestream::CheckQuantPayload(quant.data.data(), quant.data.size(), table0, table1, error)) << error;
  EXPECT_EQ(events[size_t(lastRes)].ResolutionWidth(), 0);
  EXPECT_EQ(events[size_t(lastRes)].ResolutionHeight(), 0);
  for (size_t i = size_t(lastRes) + 1; i < events.size(); ++i) EXPECT_NE(events[i].kind, "BULK") << events[i].text;
}

// Every kept frame is a complete, valid stream of the resolution it was sent at.
size_t ExpectValidStreams(const std::wstring& deviceDir) {
  size_t checked = 0;
  for (const auto& f : usbsim::ReadFrameIndex(deviceDir)) {
    EXPECT_EQ(f.received, f.saved + 1) << "frame " << f.index;  // the stream plus one byte
    if (f.file == "-") continue;
    auto bytes = usbsim::ReadWholeFile(deviceDir + L"\\" + usbsim::Widen(f.file));
    auto check = framestream::CheckStream(bytes.data(), bytes.size(), framestream::ExpectedStrips(f.width, f.height));
    EXPECT_TRUE(check.ok) << "frame " << f.index << ": " << check.error << " at " << check.errorOffset;
    ++checked;
  }
  return checked;
}

TEST(SkyvaneSystem, TwoDevicesAtStartReceiveValidFramesAndStopIsOrderly) {
  SystemCase c(L"TwoDevicesAtStart");
  WriteSources(c.Sim());
  ASSERT_TRUE(c.Run().Plug(Device(L"dev1")));
  ASSERT_TRUE(c.Run().Plug(Device(L"dev2")));
  ASSERT_TRUE(c.Start());
  ASSERT_NE(c.Run().WaitForWindow(kStartMs), nullptr) << c.Output();
  EXPECT_TRUE(c.Run().WaitForFrames(L"dev1", 12, kStartMs));
  EXPECT_TRUE(c.Run().WaitForFrames(L"dev2", 12, kStartMs));
  EXPECT_EQ(c.Stop(), 0u);

  std::string log = c.Log();
  size_t p1 = log.find("[INFO]   [CMonitorMgr::CheckUsbDevicesOnInit] path is " + c.PathText(L"dev1") + "\r\n");
  size_t p2 = log.find("[INFO]   [CMonitorMgr::CheckUsbDevicesOnInit] path is " + c.PathText(L"dev2") + "\r\n");
  ASSERT_NE(p1, std::string::npos) << log;
  ASSERT_NE(p2, std::string::npos) << log;
  EXPECT_LT(p1, p2);
  EXPECT_EQ(Count(log, "[INFO]   [WndProc] s_monMgr.Init succ\r\n"), 1u);
  // The log was closed before the static teardown: those lines went to stdout.
  EXPECT_EQ(Count(log, "Enter UnInit"), 0u);
  std::string out = c.Output();
  // (standard output is a text stream: its lines end in CRLF too)
  EXPECT_EQ(Count(out, "[INFO]   [CMonitorProcessor::UnInit] Enter UnInit\r\n"), 2u) << out;
  EXPECT_EQ(Count(out, "Stop image thread\r\n"), 2u) << out;

  for (const wchar_t* name : {L"dev1", L"dev2"}) {
    ExpectCleanSession(c.Usb(name), kWidth, kHeight);
    EXPECT_GE(ExpectValidStreams(c.DevDir(name)), 12u);
  }
}

TEST(SkyvaneSystem, HotPlugFollowsPresentInterfacesInAnySpelling) {
  SystemCase c(L"HotPlug");
  ASSERT_TRUE(c.StartStreaming(L"dev1", 3));

  ASSERT_TRUE(c.Run().Arrive(Device(L"dev3")));
  ASSERT_TRUE(c.Run().WaitForFrames(L"dev3", 5, kStartMs));
  // A removal of a device that is still present, in any spelling, is refused.
  ASSERT_TRUE(c.Run().BroadcastInterface(DBT_DEVICEREMOVECOMPLETE, launcher::SwapCase(c.Run().DevicePath(L"dev3"))));
  size_t frames = c.Run().FramesReceived(L"dev3");
  EXPECT_TRUE(c.Run().WaitForFrames(L"dev3", frames + 3, kStartMs));
  // Volumes and other broadcasts are not ours.
  EXPECT_TRUE(c.Run().BroadcastVolume(DBT_DEVICEARRIVAL));
  EXPECT_TRUE(c.Run().Send(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));

  ASSERT_TRUE(c.Run().Remove(L"dev3"));
  auto events = c.Usb(L"dev3");
  ExpectCleanSession(events, kWidth, kHeight);
  EXPECT_TRUE(events.back().kind == "FREE");  // destroyed by the time the removal was handled
  frames = c.Run().FramesReceived(L"dev3");
  EXPECT_TRUE(c.Run().WaitForFrames(L"dev1", c.Run().FramesReceived(L"dev1") + 3, kStartMs));
  EXPECT_EQ(c.Run().FramesReceived(L"dev3"), frames);
  EXPECT_EQ(c.Stop(), 0u);

  std::string log = c.Log();
  EXPECT_EQ(Count(log, "[INFO]   [WndProc] s_monMgr.OnDeviceArrival succ\r\n"), 1u) << log;
  EXPECT_EQ(Count(log, "[INFO]   [WndProc] s_monMgr.OnDeviceRemove failed\r\n"), 1u);
  EXPECT_EQ(Count(log, "[INFO]   [WndProc] s_monMgr.OnDeviceRemove succ\r\n"), 1u);
  EXPECT_EQ(Count(log, "[WndProc]"), 4u);  // Init, arrival, two removals: nothing for the others
  EXPECT_EQ(Count(log,
                  "[ERROR]  [CMonitorMgr::OnDeviceRemove] OnDeviceRemove refused, the device interface is "
                  "still present: " +
                      usbsim::Narrow(launcher::SwapCase(c.Run().DevicePath(L"dev3"))) + "\r\n"),
            1u);
  ExpectCleanSession(c.Usb(L"dev1"), kWidth, kHeight);
}

// Another process on the desktop forges device broadcasts; Windows asks for
// the device's handle before removing or updating it.
TEST(SkyvaneSystem, ForgedBroadcastsAreRefusedAndAQueryRemoveClosesTheDeviceUntilItFails) {
  SystemCase c(L"ForgedAndQueryRemove");
  ASSERT_TRUE(c.StartStreaming(L"dev1", 3));

  // Arrivals of paths that are no present interface: a pipe whose server
  // would impersonate its client, and a device path carrying a forged line.
  const std::wstring pipe = L"\\\\.\\pipe\\skyvane-system-" + std::to_wstring(GetCurrentProcessId());
  HANDLE hPipe =
      CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
  ASSERT_NE(hPipe, INVALID_HANDLE_VALUE);
  const std::wstring forgedLine = c.Run().DevicePath(L"dev1") + L"x\r\n[INFO]   [WndProc] s_monMgr.OnDeviceRemove succ";
  ASSERT_TRUE(c.Run().BroadcastInterface(DBT_DEVICEARRIVAL, pipe));
  ASSERT_TRUE(c.Run().BroadcastInterface(DBT_DEVICEARRIVAL, forgedLine));
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ConnectNamedPipe(hPipe, &ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));  // the program never opened it
  CancelIo(hPipe);
  CloseHandle(ov.hEvent);
  CloseHandle(hPipe);
  // A removal of a device that is still there.
  ASSERT_TRUE(c.Run().BroadcastInterface(DBT_DEVICEREMOVECOMPLETE, c.Run().DevicePath(L"dev1")));
  EXPECT_TRUE(c.Run().WaitForFrames(L"dev1", c.Run().FramesReceived(L"dev1") + 3, kStartMs));

  // Query-remove: the device is closed as for a removal ...
  ASSERT_TRUE(c.Run().BroadcastHandle(DBT_DEVICEQUERYREMOVE, L"dev1"));
  auto events = c.Usb(L"dev1");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, "FREE");
  ExpectCleanSession(events, kWidth, kHeight);
  const size_t closedAt = c.Run().FramesReceived(L"dev1");
  // ... and the removal fails: it is opened again and receives frames.
  ASSERT_TRUE(c.Run().BroadcastHandle(DBT_DEVICEQUERYREMOVEFAILED, L"dev1"));
  EXPECT_TRUE(c.Run().WaitForFrames(L"dev1", closedAt + 3, kStartMs));
  EXPECT_EQ(c.Stop(), 0u);

  std::string log = c.Log();
  const std::string dev1 = c.PathText(L"dev1");
  EXPECT_EQ(Count(log,
                  "[ERROR]  [CMonitorMgr::OnDeviceArrival] OnDeviceArrival refused, not a present device "
                  "interface: " +
                      usbsim::Narrow(pipe) + "\r\n"),
            1u)
      << log;
  EXPECT_EQ(Count(log,
                  "[ERROR]  [CMonitorMgr::OnDeviceArrival] OnDeviceArrival refused, not a present device "
                  "interface: " +
                      dev1 + "x\\x0D\\x0A[INFO]   [WndProc] s_monMgr.OnDeviceRemove succ\r\n"),
            1u);
  EXPECT_EQ(Count(log, "[INFO]   [WndProc] s_monMgr.OnDeviceArrival failed\r\n"), 2u);
  EXPECT_EQ(Count(log,
                  "[ERROR]  [CMonitorMgr::OnDeviceRemove] OnDeviceRemove refused, the device interface is "
                  "still present: " +
                      dev1 + "\r\n"),
            1u);
  EXPECT_EQ(Count(log, "\n[INFO]"), 0u);  // the forged line stayed inside its own
  EXPECT_EQ(Count(log, "[INFO]   [CMonitorMgr::OnDeviceHandleEvent] OnDeviceQueryRemove closing the device: " + dev1 +
                           "\r\n"),
            1u);
  EXPECT_EQ(Count(log,
                  "[INFO]   [CMonitorMgr::OnDeviceHandleEvent] OnDeviceQueryRemoveFailed opening the device "
                  "again: " +
                      dev1 + "\r\n"),
            1u);
  EXPECT_EQ(Count(log, "CreateFile failed"), 0u);
  events = c.Usb(L"dev1");
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const UsbEvent& e) { return e.kind == "INIT"; }), 2);
  EXPECT_EQ(events.back().kind, "FREE");
}

TEST(SkyvaneSystem, AQuitPostedByAnotherProcessEndsWithZeroAndAnOrderlyTeardown) {
  SystemCase c(L"ForeignQuit");
  ASSERT_TRUE(c.StartStreaming(L"dev1", 3));
  ASSERT_TRUE(c.Run().Post(WM_QUIT, 77, 0));
  DWORD code = ~0u;
  ASSERT_TRUE(c.Run().WaitForExit(kExitMs, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(Count(c.Output(), "[INFO]   [CMonitorProcessor::UnInit] Enter UnInit\r\n"), 1u) << c.Output();
  ExpectCleanSession(c.Usb(L"dev1"), kWidth, kHeight);
}

TEST(SkyvaneSystem, MissingStopEventIsLoggedAndDevicesAreReleasedAtExit) {
  SystemCase c(L"NoStopEvent");
  ASSERT_TRUE(c.Run().Plug(Device(L"dev1")));
  ASSERT_TRUE(c.Start(L"Skyvane.exe", false));
  DWORD code = ~0u;
  ASSERT_TRUE(c.Run().WaitForExit(kExitMs, &code));
  EXPECT_EQ(code, 0u);
  std::string log = c.Log();
  EXPECT_NE(log.find("[ERROR]  [wWinMain] OpenEvent failed err is 2\r\n"), std::string::npos) << log;
  // The device found during start-up was started, then torn down at exit.
  EXPECT_NE(log.find("[INFO]   [CMonitorProcessor::Init] Init succ path is " + c.PathText(L"dev1")), std::string::npos);
  auto events = c.Usb(L"dev1");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, "FREE");
  EXPECT_NE(c.Output().find("Enter UnInit"), std::string::npos);
}

TEST(SkyvaneSystem, NoDeviceAtStartThenALaterOneWorks) {
  SystemCase c(L"NoDeviceAtStart");
  ASSERT_TRUE(c.Start());
  ASSERT_NE(c.Run().WaitForWindow(kStartMs), nullptr);
  ASSERT_TRUE(c.Run().Arrive(Device(L"late")));
  EXPECT_TRUE(c.Run().WaitForFrames(L"late", 5, kStartMs));
  EXPECT_EQ(c.Stop(), 0u);
  std::string log = c.Log();
  EXPECT_NE(log.find("[ERROR]  [CMonitorMgr::CheckUsbDevicesOnInit] Not found\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[INFO]   [WndProc] s_monMgr.Init succ\r\n"), std::string::npos);
  ExpectCleanSession(c.Usb(L"late"), kWidth, kHeight);
  EXPECT_GE(ExpectValidStreams(c.DevDir(L"late")), 5u);
}

TEST(SkyvaneSystem, DisplayChangeRestartsAStoppedFrameThread) {
  SystemCase c(L"DisplayChange");
  // No frames at all: each wait ends with "nothing new", and after five the
  // frame thread stops on its own.
  SetEnvironmentVariableW(L"AUVEX_FRAME_RATE", L"0");
  ASSERT_TRUE(c.Run().Plug(Device(L"dev1")));
  ASSERT_TRUE(c.Start());
  ASSERT_NE(c.Run().WaitForWindow(kStartMs), nullptr);
  const ULONGLONG end = GetTickCount64() + kStartMs;
  while (Count(c.Log(), "Stop image thread") < 1 && GetTickCount64() < end) Sleep(100);
  ASSERT_EQ(Count(c.Log(), "Stop image thread"), 1u) << c.Log();
  ASSERT_TRUE(c.Run().DisplayChange(1920, 1080));
  // The new frame thread writes its first line on its own time.
  const ULONGLONG restart = GetTickCount64() + kStartMs;
  while (Count(c.Log(), "Start image thread") < 2 && GetTickCount64() < restart) Sleep(50);
  std::string log = c.Log();
  EXPECT_NE(log.find("[INFO]   [CMonitorMgr::OnDisplayChange] OnDisplayChange\r\n"), std::string::npos);
  EXPECT_EQ(Count(log, "Start image thread"), 2u) << log;
  EXPECT_EQ(c.Stop(), 0u);
}

TEST(SkyvaneSystem, AccessViolationLeavesADumpInTheTemporaryDirectory) {
  SystemCase c(L"CrashDump");
  ASSERT_TRUE(c.StartStreaming(L"dev1", 2, L"SkyvaneCrashTest.exe"));
  // The test build faults on this message, on the main thread.
  ASSERT_TRUE(c.Run().Post(WM_APP + 0x5C, 0, 0));
  DWORD code = 0;
  ASSERT_TRUE(c.Run().WaitForExit(90000, &code));
  EXPECT_NE(code, 0u);
  std::wstring dump = c.Tmp() + L"\\Skyvane_" + std::to_wstring(c.Run().ProcessId()) + L".dmp";
  auto bytes = usbsim::ReadWholeFile(dump);
  ASSERT_GE(bytes.size(), 4u) << usbsim::Narrow(dump);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "MDMP");
  DeleteFileW(dump.c_str());  // a full-memory dump is large
  EXPECT_NE(c.Log().find("[INFO]   [my_exception_filter] pelorus crash, so make dump file...\r\n"), std::string::npos)
      << c.Log();
}

TEST(SkyvaneSystem, FiftyArrivalsAndRemovalsWhileFramesFlow) {
  SystemCase c(L"Reliability");
  ASSERT_TRUE(c.Run().Plug(Device(L"steady")));
  ASSERT_TRUE(c.Start());
  ASSERT_NE(c.Run().WaitForWindow(kStartMs), nullptr);
  ASSERT_TRUE(c.Run().WaitForFrames(L"steady", 2, kStartMs));
  DeviceConfig hot = Device(L"hot");
  hot.keepFrames = 2;
  for (int i = 0; i < 50; ++i) {
    size_t before = c.Run().FramesReceived(L"hot");
    ASSERT_TRUE(c.Run().Arrive(hot)) << "cycle " << i;
    ASSERT_TRUE(c.Run().WaitForFrames(L"hot", before + 1, kStartMs)) << "cycle " << i;
    ASSERT_TRUE(c.Run().Remove(L"hot")) << "cycle " << i;
  }
  EXPECT_TRUE(c.Run().WaitForFrames(L"steady", c.Run().FramesReceived(L"steady") + 3, kStartMs));
  EXPECT_EQ(c.Stop(), 0u);

  std::string all = c.Log() + c.Output();
  EXPECT_EQ(Count(all, "[INFO]   [WndProc] s_monMgr.OnDeviceRemove succ"), 50u);
  // Every processor made was destroyed: one UnInit per successful Init.
  EXPECT_EQ(Count(all, "Init succ path is"), 51u);
  EXPECT_EQ(Count(all, "Enter UnInit"), 51u);
  auto events = c.Usb(L"hot");
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const UsbEvent& e) { return e.kind == "INIT"; }), 50);
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const UsbEvent& e) { return e.kind == "FREE"; }), 50);
  ExpectCleanSession(c.Usb(L"steady"), kWidth, kHeight);
}

}  // namespace
