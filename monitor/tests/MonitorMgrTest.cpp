// Tests of the monitor manager with real processors: the simulated devices
// (winusb.dll and cfgmgr32.dll stand-ins beside this test) and the stand-in
// libAuvex play the machine; the test plays WndProc on its main thread.
#include <windows.h>
#include <cfgmgr32.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AuvexTestControl.h"
#include "LogFile.h"
#include "MonitorMgr.h"
#include "SimRecords.h"
#include "SimState.h"
#include "SkyTestSupport.h"

namespace {

using skytest::Count;
using skytest::ReadText;
using usbsim::DeviceConfig;

DeviceConfig Device(const wchar_t* name, int width = 256, int height = 128) {
  DeviceConfig d;
  d.name = name;
  d.width = width;
  d.height = height;
  return d;
}

// An interface broadcast of our class as Windows delivers it with WM_DEVICECHANGE.
std::vector<uint8_t> Broadcast(const std::wstring& path) {
  return usbsim::InterfaceBroadcast(path, GUID_DEVINTERFACE_USB_DISPLAY);
}

const DEV_BROADCAST_DEVICEINTERFACE_W* AsBroadcast(const std::vector<uint8_t>& block) {
  return reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
}

class MonitorMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* root = getenv("SKY_TEST_TMP");
    ASSERT_NE(root, nullptr);
    m_dir = usbsim::ToWindowsPath(usbsim::Widen(root)) + L"\\" +
            usbsim::Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
    usbsim::RemoveTree(m_dir);
    ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr));
    SetEnvironmentVariableW(L"SKY_USBSIM_DIR", m_dir.c_str());
    usbsim::WriteDevices(m_dir, {});
    AuvexTest_Reset();
    AuvexTest_SetDefaultTiming(60, 50);
    m_log = m_dir + L"\\Skyvane.log";
    ASSERT_NE(CLogFile::Instance(m_log.c_str()), nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MonitorMgrTestWindow";
    RegisterClassExW(&wc);
    m_hWnd = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
    ASSERT_NE(m_hWnd, nullptr);
  }

  void TearDown() override {
    delete m_pMgr;  // processors are destroyed before the log closes, as here they may log
    m_pMgr = nullptr;
    CLogFile::Close();
    if (m_hWnd) DestroyWindow(m_hWnd);
  }

  CMonitorMgr& Mgr() {
    if (!m_pMgr) m_pMgr = new CMonitorMgr;
    return *m_pMgr;
  }

  void Plug(std::vector<DeviceConfig> devices) { ASSERT_TRUE(usbsim::WriteDevices(m_dir, devices)); }
  std::wstring Path(const wchar_t* name) { return usbsim::InterfacePath(m_dir, name); }
  std::wstring DevDir(const wchar_t* name) { return usbsim::DeviceDirectory(m_dir, name); }
  std::string Log() { return ReadText(m_log); }

  std::vector<std::wstring> ManagedPaths() {
    std::vector<std::wstring> paths;
    for (IMonitorProcessor* p : Mgr().Monitors()) paths.push_back(p->GetDevicePath());
    return paths;
  }

  bool WaitForFrames(const wchar_t* name, size_t count, DWORD timeoutMs = 20000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (usbsim::ReadFrameIndex(DevDir(name)).size() < count) {
      if (GetTickCount64() > end) return false;
      Sleep(10);
    }
    return true;
  }

  std::wstring m_dir, m_log;
  HWND m_hWnd = nullptr;
  CMonitorMgr* m_pMgr = nullptr;
};

TEST_F(MonitorMgrTest, TwoDevicesAtStartAreManagedInListOrderAndReceiveFrames) {
  Plug({Device(L"second"), Device(L"first")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  EXPECT_EQ(ManagedPaths(), (std::vector<std::wstring>{Path(L"second"), Path(L"first")}));
  std::string log = Log();
  size_t a = log.find("[INFO]   [CMonitorMgr::CheckUsbDevicesOnInit] path is " + usbsim::Narrow(Path(L"second")));
  size_t b = log.find("[INFO]   [CMonitorMgr::CheckUsbDevicesOnInit] path is " + usbsim::Narrow(Path(L"first")));
  ASSERT_NE(a, std::string::npos) << log;
  ASSERT_NE(b, std::string::npos) << log;
  EXPECT_LT(a, b);
  EXPECT_TRUE(WaitForFrames(L"first", 3));
  EXPECT_TRUE(WaitForFrames(L"second", 3));
}

TEST_F(MonitorMgrTest, NoDeviceAtStartIsLoggedAndALaterArrivalIsPickedUp) {
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  EXPECT_NE(Log().find("[ERROR]  [CMonitorMgr::CheckUsbDevicesOnInit] Not found\r\n"), std::string::npos) << Log();
  EXPECT_TRUE(Mgr().Monitors().empty());
  Plug({Device(L"late")});
  auto arrival = Broadcast(Path(L"late"));
  ASSERT_TRUE(Mgr().OnDeviceArrival(AsBroadcast(arrival)));
  EXPECT_EQ(ManagedPaths(), std::vector<std::wstring>{Path(L"late")});
  EXPECT_TRUE(WaitForFrames(L"late", 2));
}

TEST_F(MonitorMgrTest, ADeviceThatFailsToInitialiseDoesNotStopTheOthers) {
  Plug({Device(L"broken"), Device(L"fine")});
  // The broken device's interface cannot be opened.
  ASSERT_TRUE(DeleteFileW(Path(L"broken").c_str()));
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  EXPECT_EQ(ManagedPaths(), std::vector<std::wstring>{Path(L"fine")});
  EXPECT_NE(Log().find("[ERROR]  [CMonitorMgr::CreateMonitor] pMon->Init failed\r\n"), std::string::npos);
  // An arrival that yields no processor is refused and logged.
  auto arrival = Broadcast(Path(L"broken"));
  EXPECT_FALSE(Mgr().OnDeviceArrival(AsBroadcast(arrival)));
  EXPECT_NE(Log().find("[ERROR]  [CMonitorMgr::OnDeviceArrival] CreateMonitor returned nullptr\r\n"),
            std::string::npos);
}

TEST_F(MonitorMgrTest, RemovalMatchesThePathExactlyAndLeavesTheDeviceAtZeroByZero) {
  Plug({Device(L"keep"), Device(L"gone")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  ASSERT_TRUE(WaitForFrames(L"gone", 2));

  // Same file for the file system, different string: nothing is destroyed.
  std::wstring other = Path(L"gone");
  std::transform(other.begin(), other.end(), other.begin(), ::towupper);
  auto wrongCase = Broadcast(other);
  EXPECT_FALSE(Mgr().OnDeviceRemove(AsBroadcast(wrongCase)));
  auto prefix = Broadcast(Path(L"gone").substr(0, Path(L"gone").size() - 1));
  EXPECT_FALSE(Mgr().OnDeviceRemove(AsBroadcast(prefix)));
  auto never = Broadcast(Path(L"never"));
  EXPECT_FALSE(Mgr().OnDeviceRemove(AsBroadcast(never)));
  EXPECT_EQ(Mgr().Monitors().size(), 2u);
  EXPECT_NE(Log().find("[INFO]   [CMonitorMgr::OnDeviceRemove] OnDeviceRemove path is " + usbsim::Narrow(other)),
            std::string::npos);

  auto exact = Broadcast(Path(L"gone"));
  ASSERT_TRUE(Mgr().OnDeviceRemove(AsBroadcast(exact)));
  EXPECT_EQ(ManagedPaths(), std::vector<std::wstring>{Path(L"keep")});
  // The processor is gone: its link closed after the device went to 0 x 0.
  auto events = usbsim::ReadUsbLog(DevDir(L"gone"));
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back().kind, "FREE");
  const usbsim::UsbEvent* lastRes = nullptr;
  for (const auto& e : events)
    if (e.IsSetResolution()) lastRes = &e;
  ASSERT_NE(lastRes, nullptr);
  EXPECT_EQ(lastRes->ResolutionWidth(), 0);
  EXPECT_EQ(lastRes->ResolutionHeight(), 0);
  EXPECT_FALSE(Mgr().OnDeviceRemove(AsBroadcast(exact)));  // already gone
}

TEST_F(MonitorMgrTest, BroadcastNameIsReadNoFurtherThanItsSize) {
  Plug({Device(L"dev")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  // The same path with a tail beyond dbcc_size and no terminator inside it.
  auto block = Broadcast(Path(L"dev") + L"XYZ");
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
  b->dbcc_size -= 4 * sizeof(wchar_t);  // drop "XYZ" and the terminator
  EXPECT_TRUE(Mgr().OnDeviceRemove(b));
  EXPECT_TRUE(Mgr().Monitors().empty());
  b->dbcc_size = 4;  // not even a whole header
  EXPECT_FALSE(Mgr().OnDeviceRemove(b));
  EXPECT_FALSE(Mgr().OnDeviceArrival(nullptr));
}

TEST_F(MonitorMgrTest, ListThatGrowsBetweenTheQueriesIsAskedForAgain) {
  Plug({Device(L"dev")});
  usbsim::WriteCfgMgrFaults(m_dir, {0, 0, 2});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  EXPECT_EQ(Count(Log(), "[ERROR]  [CMonitorMgr::CheckUsbDevicesOnInit] CM_Get_Device_Interface_List failed hr is 0\r\n"),
            2u)
      << Log();
  EXPECT_EQ(ManagedPaths(), std::vector<std::wstring>{Path(L"dev")});
}

TEST_F(MonitorMgrTest, FailedQueriesAreLoggedAsHresultsAndStartNoDevice) {
  Plug({Device(L"dev")});
  usbsim::WriteCfgMgrFaults(m_dir, {CR_OUT_OF_MEMORY, 0, 0});  // ERROR_NOT_ENOUGH_MEMORY, 8
  ASSERT_TRUE(Mgr().Init(m_hWnd));  // registration worked: Init still succeeds
  std::string log = Log();
  EXPECT_NE(log.find("[CMonitorMgr::CheckUsbDevicesOnInit] CM_Get_Device_Interface_List_Size failed hr is 80070008\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[CMonitorMgr::CheckUsbDevicesOnInit] Something wrong hr is 80070008\r\n"), std::string::npos);
  EXPECT_TRUE(Mgr().Monitors().empty());

  delete m_pMgr;
  m_pMgr = nullptr;
  usbsim::WriteCfgMgrFaults(m_dir, {0, CR_NO_SUCH_DEVICE_INTERFACE, 0});  // ERROR_NOT_FOUND, 1168
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  log = Log();
  EXPECT_NE(log.find("[CMonitorMgr::CheckUsbDevicesOnInit] CM_Get_Device_Interface_List failed hr is 80070490\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Something wrong hr is 80070490\r\n"), std::string::npos);
  EXPECT_TRUE(Mgr().Monitors().empty());
}

TEST_F(MonitorMgrTest, DisplayChangeRestartsOnlyStoppedThreadsOfActiveMonitors) {
  Plug({Device(L"a"), Device(L"b"), Device(L"c")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  AuvexMonitor handles[3] = {};
  ASSERT_EQ(AuvexTest_GetMonitors(handles, 3), 3);
  std::vector<IMonitorProcessor*> procs(Mgr().Monitors().begin(), Mgr().Monitors().end());
  // a and b: their frame threads end on a library error; b's monitor is inactive.
  AuvexTest_QueueWaitResult(handles[0], 7);
  AuvexTest_QueueWaitResult(handles[1], 7);
  const ULONGLONG end = GetTickCount64() + 10000;
  while ((procs[0]->IsImageThreadRunning() || procs[1]->IsImageThreadRunning()) && GetTickCount64() < end) Sleep(10);
  ASSERT_FALSE(procs[0]->IsImageThreadRunning());
  ASSERT_FALSE(procs[1]->IsImageThreadRunning());
  AuvexTest_SetActive(handles[1], 0);
  ASSERT_TRUE(procs[2]->IsImageThreadRunning());
  AuvexTestMonitorInfo before{};
  AuvexTest_GetMonitorInfo(handles[2], &before);

  size_t framesA = usbsim::ReadFrameIndex(DevDir(L"a")).size();
  Mgr().OnDisplayChange();
  EXPECT_NE(Log().find("[INFO]   [CMonitorMgr::OnDisplayChange] OnDisplayChange\r\n"), std::string::npos);
  EXPECT_TRUE(procs[0]->IsImageThreadRunning());
  EXPECT_FALSE(procs[1]->IsImageThreadRunning());
  EXPECT_TRUE(procs[2]->IsImageThreadRunning());
  EXPECT_TRUE(WaitForFrames(L"a", framesA + 2));  // the restarted thread sends frames again
  EXPECT_EQ(Count(Log(), "Start image thread"), 4u);  // three at start, one restart
}

TEST_F(MonitorMgrTest, DestructionTearsDownEveryProcessorInListOrder) {
  Plug({Device(L"x"), Device(L"y")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  AuvexMonitor handles[2] = {};
  ASSERT_EQ(AuvexTest_GetMonitors(handles, 2), 2);
  static std::vector<AuvexMonitor> destroyed;
  destroyed.clear();
  AuvexTest_SetCallHook(
      [](const char* function, AuvexMonitor h, void*) {
        if (strcmp(function, "DestroyMonitorDevice") == 0) destroyed.push_back(h);
      },
      nullptr);
  delete m_pMgr;
  m_pMgr = nullptr;
  AuvexTest_SetCallHook(nullptr, nullptr);
  EXPECT_EQ(destroyed, (std::vector<AuvexMonitor>{handles[0], handles[1]}));
  EXPECT_EQ(AuvexTest_GetMonitors(handles, 2), 0);
  for (const wchar_t* name : {L"x", L"y"}) EXPECT_EQ(usbsim::ReadUsbLog(DevDir(name)).back().kind, "FREE");
}

TEST_F(MonitorMgrTest, RequestClosePostsCloseToTheWindow) {
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  MSG msg;
  while (PeekMessageW(&msg, m_hWnd, WM_CLOSE, WM_CLOSE, PM_REMOVE)) {
  }
  Mgr().RequestClose();
  ASSERT_TRUE(PeekMessageW(&msg, m_hWnd, WM_CLOSE, WM_CLOSE, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(msg.lParam, 0);
}

}  // namespace
