// Tests of the monitor manager with real processors: the simulated devices
// (winusb.dll and cfgmgr32.dll stand-ins beside this test) and the stand-in
// libAuvex play the machine; the test plays WndProc on its main thread.
#include <windows.h>
#include <cfgmgr32.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
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

// The same path in swapped letter case: the same interface for Windows.
std::wstring SwapCase(std::wstring text) {
  for (auto& c : text) c = iswupper(c) ? towlower(c) : towupper(c);
  return text;
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
    skytest::RegisterTestWindowClass(L"MonitorMgrTestWindow", DefWindowProcW);
    m_hWnd = CreateWindowExW(0, L"MonitorMgrTestWindow", L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
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
    for (const auto& p : Mgr().Monitors()) paths.push_back(p->GetDevicePath());
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

// ---- Broadcasts are checked against the configuration manager --------------

TEST_F(MonitorMgrTest, ArrivalOpensOnlyAPresentInterfaceInItsListedSpelling) {
  Plug({Device(L"dev"), Device(L"unplugged")});
  Plug({Device(L"dev")});  // "unplugged" keeps its node file, but is no longer listed
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  // A pipe server stands behind one forged path: it must see no client.
  const std::wstring pipe = L"\\\\.\\pipe\\skyvane-arrival-" + std::to_wstring(GetCurrentProcessId());
  HANDLE hPipe =
      CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
  ASSERT_NE(hPipe, INVALID_HANDLE_VALUE);
  struct Case {
    std::wstring path;
    std::string logged;  // how the path appears in the refusal line
  };
  const Case forged[] = {
      {pipe, usbsim::Narrow(pipe)},
      {m_dir + L"\\devices.txt", usbsim::Narrow(m_dir) + "\\devices.txt"},
      {Path(L"unplugged"), usbsim::Narrow(Path(L"unplugged"))},
      {Path(L"dev") + L"\r\nforged", usbsim::Narrow(Path(L"dev")) + "\\x0D\\x0Aforged"},
  };
  for (const Case& c : forged) {
    auto arrival = Broadcast(c.path);
    EXPECT_FALSE(Mgr().OnDeviceArrival(AsBroadcast(arrival))) << c.logged;
    EXPECT_EQ(Count(Log(),
                    "[ERROR]  [CMonitorMgr::OnDeviceArrival] OnDeviceArrival refused, not a present device "
                    "interface: " +
                        c.logged + "\r\n"),
              1u)
        << Log();
  }
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ConnectNamedPipe(hPipe, &ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));  // nobody connected
  CancelIo(hPipe);
  CloseHandle(ov.hEvent);
  CloseHandle(hPipe);
  EXPECT_EQ(Count(Log(), "CreateMonitor returned nullptr"), 0u);
  EXPECT_EQ(Mgr().Monitors().size(), 1u);

  // A present device named in another letter case is the same interface: it
  // is opened in the spelling the configuration manager gave.
  Plug({Device(L"dev"), Device(L"late")});
  auto arrival = Broadcast(SwapCase(Path(L"late")));
  ASSERT_TRUE(Mgr().OnDeviceArrival(AsBroadcast(arrival)));
  EXPECT_EQ(ManagedPaths(), (std::vector<std::wstring>{Path(L"dev"), Path(L"late")}));
  EXPECT_TRUE(WaitForFrames(L"late", 2));
}

TEST_F(MonitorMgrTest, RemovalIgnoresCaseButActsOnlyOnceTheInterfaceIsGone) {
  Plug({Device(L"keep"), Device(L"gone")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  ASSERT_TRUE(WaitForFrames(L"gone", 2));
  const std::wstring swapped = SwapCase(Path(L"gone"));
  struct Case {
    bool plugged;
    std::wstring path;
    bool removed;
    const char* refusal;  // null: no refusal line
  };
  const Case cases[] = {
      {true, Path(L"gone"), false, "the device interface is still present"},  // a forged removal
      {true, swapped, false, "the device interface is still present"},
      {false, Path(L"gone").substr(0, Path(L"gone").size() - 1), false, nullptr},  // not ours
      {false, Path(L"never"), false, nullptr},
      {false, swapped, true, nullptr},         // the spelling need not match the enumeration's
      {false, Path(L"gone"), false, nullptr},  // already gone
  };
  for (const Case& c : cases) {
    if (c.plugged)
      Plug({Device(L"keep"), Device(L"gone")});
    else
      Plug({Device(L"keep")});
    const size_t refusals = Count(Log(), "OnDeviceRemove refused");
    auto removal = Broadcast(c.path);
    EXPECT_EQ(Mgr().OnDeviceRemove(AsBroadcast(removal)), c.removed) << usbsim::Narrow(c.path);
    EXPECT_NE(
        Log().find("[INFO]   [CMonitorMgr::OnDeviceRemove] OnDeviceRemove path is " + usbsim::Narrow(c.path) + "\r\n"),
        std::string::npos);
    if (c.refusal)
      EXPECT_EQ(Count(Log(), std::string("[ERROR]  [CMonitorMgr::OnDeviceRemove] OnDeviceRemove refused, ") +
                                 c.refusal + ": " + usbsim::Narrow(c.path) + "\r\n"),
                1u)
          << Log();
    else
      EXPECT_EQ(Count(Log(), "OnDeviceRemove refused"), refusals);
  }
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
}

TEST_F(MonitorMgrTest, RemovalIsRefusedWhileThePresentDevicesCannotBeListed) {
  Plug({Device(L"dev")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  Plug({});
  usbsim::WriteCfgMgrFaults(m_dir, {CR_OUT_OF_MEMORY, 0, 0});
  auto removal = Broadcast(Path(L"dev"));
  EXPECT_FALSE(Mgr().OnDeviceRemove(AsBroadcast(removal)));
  EXPECT_NE(Log().find("[ERROR]  [CMonitorMgr::OnDeviceRemove] OnDeviceRemove refused, the present devices cannot "
                       "be listed: " +
                       usbsim::Narrow(Path(L"dev")) + "\r\n"),
            std::string::npos)
      << Log();
  usbsim::WriteCfgMgrFaults(m_dir, {});
  EXPECT_TRUE(Mgr().OnDeviceRemove(AsBroadcast(removal)));
}

// ---- Handle notifications of the opened devices ----------------------------

TEST_F(MonitorMgrTest, QueryRemoveClosesTheDeviceAndAFailedOneOpensItAgain) {
  Plug({Device(L"dev"), Device(L"other")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  ASSERT_TRUE(WaitForFrames(L"dev", 2));
  const HANDLE hDevice = Mgr().Monitors().front()->GetDeviceHandle();
  ASSERT_NE(hDevice, INVALID_HANDLE_VALUE);
  // The notification names the device by its file handle.
  const uintptr_t device = reinterpret_cast<uintptr_t>(hDevice);
  auto handleEvent = [&](WPARAM event, uintptr_t handle) {
    auto block = usbsim::HandleBroadcast(handle);
    return Mgr().OnDeviceHandleEvent(event, reinterpret_cast<const DEV_BROADCAST_HANDLE*>(block.data()));
  };
  auto inits = [&] {
    auto events = usbsim::ReadUsbLog(DevDir(L"dev"));
    return std::count_if(events.begin(), events.end(), [](const usbsim::UsbEvent& e) { return e.kind == "INIT"; });
  };
  struct Step {
    WPARAM event;
    uintptr_t handle;
    bool plugged;
    bool acted;
    size_t managed;  // processors afterwards
    long devInits;   // sessions of "dev" so far
  };
  const Step steps[] = {
      {DBT_DEVICEQUERYREMOVE, device + 4, true, false, 2, 1},    // not our handle
      {DBT_DEVICEQUERYREMOVEFAILED, device, true, false, 2, 1},  // nothing was closed
      {DBT_DEVICEREMOVECOMPLETE, device, true, false, 2, 1},     // still present
      {DBT_DEVICEQUERYREMOVE, device, true, true, 1, 1},         // closed for the removal
      {DBT_DEVICEQUERYREMOVE, device, true, false, 1, 1},        // closed already
      {DBT_DEVICEQUERYREMOVEFAILED, device, true, true, 2, 2},   // removal cancelled: open again
      {DBT_DEVICEQUERYREMOVE, 0, true, false, 2, 2},             // a null handle names nothing
  };
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    const Step& s = steps[i];
    EXPECT_EQ(handleEvent(s.event, s.handle), s.acted) << "step " << i;
    EXPECT_EQ(Mgr().Monitors().size(), s.managed) << "step " << i;
    EXPECT_EQ(inits(), s.devInits) << "step " << i;
  }
  EXPECT_EQ(usbsim::ReadUsbLog(DevDir(L"dev"))[0].kind, "INIT");
  EXPECT_EQ(Count(Log(), "[INFO]   [CMonitorMgr::OnDeviceHandleEvent] OnDeviceQueryRemove closing the device: " +
                             usbsim::Narrow(Path(L"dev")) + "\r\n"),
            1u)
      << Log();
  EXPECT_EQ(Count(Log(),
                  "[INFO]   [CMonitorMgr::OnDeviceHandleEvent] OnDeviceQueryRemoveFailed opening the device "
                  "again: " +
                      usbsim::Narrow(Path(L"dev")) + "\r\n"),
            1u);
  EXPECT_EQ(ManagedPaths(), (std::vector<std::wstring>{Path(L"other"), Path(L"dev")}));
  EXPECT_TRUE(WaitForFrames(L"dev", usbsim::ReadFrameIndex(DevDir(L"dev")).size() + 2));

  // A removal that goes through: closed on the query, gone from the list on
  // completion; a failed query afterwards finds nothing to open.
  const uintptr_t reopened = reinterpret_cast<uintptr_t>(Mgr().Monitors().back()->GetDeviceHandle());
  ASSERT_TRUE(handleEvent(DBT_DEVICEQUERYREMOVE, reopened));
  EXPECT_EQ(usbsim::ReadUsbLog(DevDir(L"dev")).back().kind, "FREE");
  Plug({Device(L"other")});
  EXPECT_TRUE(handleEvent(DBT_DEVICEREMOVECOMPLETE, reopened));
  EXPECT_FALSE(handleEvent(DBT_DEVICEQUERYREMOVEFAILED, reopened));
  EXPECT_EQ(ManagedPaths(), std::vector<std::wstring>{Path(L"other")});
  // Too short to hold the two handles.
  auto shortBlock = usbsim::HandleBroadcast(reopened);
  reinterpret_cast<DEV_BROADCAST_HANDLE*>(shortBlock.data())->dbch_size = sizeof(DEV_BROADCAST_HDR);
  EXPECT_FALSE(Mgr().OnDeviceHandleEvent(DBT_DEVICEQUERYREMOVE,
                                         reinterpret_cast<const DEV_BROADCAST_HANDLE*>(shortBlock.data())));
}

// Windows names the registration too: that decides between registrations
// of one handle value, and a removal it names is taken as said, even once
// the interface is listed again (the device came back as a new device).
TEST_F(MonitorMgrTest, AHandleEventThatNamesTheRegistrationIsMatchedByIt) {
  Plug({Device(L"dev"), Device(L"other")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  IMonitorProcessor* pDev = Mgr().Monitors().front().get();
  IMonitorProcessor* pOther = Mgr().Monitors().back().get();
  const uintptr_t hDev = reinterpret_cast<uintptr_t>(pDev->GetDeviceHandle());
  const uintptr_t hOther = reinterpret_cast<uintptr_t>(pOther->GetDeviceHandle());
  const HDEVNOTIFY nDev = Mgr().HandleNotification(pDev);
  const HDEVNOTIFY nOther = Mgr().HandleNotification(pOther);
  ASSERT_NE(nDev, nullptr);
  ASSERT_NE(nOther, nullptr);
  const HDEVNOTIFY nBogus = reinterpret_cast<HDEVNOTIFY>(reinterpret_cast<uintptr_t>(nDev) + 8);
  struct Step {
    WPARAM event;
    uintptr_t handle;
    HDEVNOTIFY notify;
    bool acted;
    std::vector<const wchar_t*> managed;  // device names afterwards, in list order
  };
  const Step steps[] = {
      {DBT_DEVICEQUERYREMOVE, hDev, nOther, false, {L"dev", L"other"}},          // another registration
      {DBT_DEVICEQUERYREMOVE, hDev, nBogus, false, {L"dev", L"other"}},          // none of ours
      {DBT_DEVICEQUERYREMOVEFAILED, hOther, nOther, false, {L"dev", L"other"}},  // nothing was closed
      {DBT_DEVICEREMOVECOMPLETE, hDev, nDev, true, {L"other"}},                  // listed, but this one is gone
      {DBT_DEVICEREMOVECOMPLETE, hDev, nDev, false, {L"other"}},                 // unregistered with it
      {DBT_DEVICEQUERYREMOVE, hOther, nOther, true, {}},
      {DBT_DEVICEQUERYREMOVE, hOther, nOther, false, {}},  // closed already
      {DBT_DEVICEQUERYREMOVEFAILED, hOther, nOther, true, {L"other"}},
  };
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    const Step& s = steps[i];
    auto block = usbsim::HandleBroadcast(s.handle);
    reinterpret_cast<DEV_BROADCAST_HANDLE*>(block.data())->dbch_hdevnotify = s.notify;
    EXPECT_EQ(Mgr().OnDeviceHandleEvent(s.event, reinterpret_cast<const DEV_BROADCAST_HANDLE*>(block.data())), s.acted)
        << "step " << i;
    std::vector<std::wstring> expected;
    for (const wchar_t* name : s.managed) expected.push_back(Path(name));
    EXPECT_EQ(ManagedPaths(), expected) << "step " << i;
  }
  EXPECT_EQ(usbsim::ReadUsbLog(DevDir(L"dev")).back().kind, "FREE");
}

TEST_F(MonitorMgrTest, AFailedQueryRemoveOfAnUnpluggedDeviceOpensNothing) {
  Plug({Device(L"dev")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  const uintptr_t device = reinterpret_cast<uintptr_t>(Mgr().Monitors().front()->GetDeviceHandle());
  auto query = usbsim::HandleBroadcast(device);
  const auto* b = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(query.data());
  ASSERT_TRUE(Mgr().OnDeviceHandleEvent(DBT_DEVICEQUERYREMOVE, b));
  Plug({});
  EXPECT_FALSE(Mgr().OnDeviceHandleEvent(DBT_DEVICEQUERYREMOVEFAILED, b));
  EXPECT_NE(Log().find("[ERROR]  [CMonitorMgr::OnDeviceHandleEvent] OnDeviceQueryRemoveFailed, not a present device "
                       "interface: " +
                       usbsim::Narrow(Path(L"dev")) + "\r\n"),
            std::string::npos)
      << Log();
  EXPECT_TRUE(Mgr().Monitors().empty());
  // Plugged in again: the arrival opens it as usual.
  Plug({Device(L"dev")});
  auto arrival = Broadcast(Path(L"dev"));
  EXPECT_TRUE(Mgr().OnDeviceArrival(AsBroadcast(arrival)));
}

TEST_F(MonitorMgrTest, BroadcastNameIsReadNoFurtherThanItsSize) {
  Plug({Device(L"dev")});
  ASSERT_TRUE(Mgr().Init(m_hWnd));
  // The same path with a tail beyond dbcc_size and no terminator inside it.
  Plug({});  // removals are acted on once the interface is gone
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
  EXPECT_EQ(
      Count(Log(), "[ERROR]  [CMonitorMgr::CheckUsbDevicesOnInit] CM_Get_Device_Interface_List failed hr is 0\r\n"), 2u)
      << Log();
  EXPECT_EQ(ManagedPaths(), std::vector<std::wstring>{Path(L"dev")});
}

TEST_F(MonitorMgrTest, FailedQueriesAreLoggedAsHresultsAndStartNoDevice) {
  Plug({Device(L"dev")});
  usbsim::WriteCfgMgrFaults(m_dir, {CR_OUT_OF_MEMORY, 0, 0});  // ERROR_NOT_ENOUGH_MEMORY, 8
  ASSERT_TRUE(Mgr().Init(m_hWnd));                             // registration worked: Init still succeeds
  std::string log = Log();
  EXPECT_NE(
      log.find("[CMonitorMgr::CheckUsbDevicesOnInit] CM_Get_Device_Interface_List_Size failed hr is 80070008\r\n"),
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
  std::vector<IMonitorProcessor*> procs;
  for (const auto& p : Mgr().Monitors()) procs.push_back(p.get());
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
  EXPECT_TRUE(WaitForFrames(L"a", framesA + 2));      // the restarted thread sends frames again
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
