// Tests of the program's window procedure and resources: WndProc (compiled
// from main.cpp into this test) drives the real monitor manager against the
// stand-in libAuvex, whose counters show the hook calls; the resources are
// read from the built Skyvane.exe.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AuvexTestControl.h"
#include "LogFile.h"
#include "SkyTestSupport.h"
#include "resource.h"

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

using skytest::Count;
using skytest::ReadText;
using skytest::UnixToWindows;

TEST(SkyvaneResources, WindowStringsIconsMenuAndAccelerators) {
  std::string exe = UnixToWindows(SKYVANE_EXE);
  HMODULE h = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(h, nullptr) << exe;
  wchar_t text[100] = {};
  ASSERT_GT(LoadStringW(h, IDS_APP_TITLE, text, 100), 0);
  EXPECT_STREQ(text, L"Tolvar Display");
  ASSERT_GT(LoadStringW(h, IDC_SKYVANE, text, 100), 0);
  EXPECT_STREQ(text, L"TOLVARDISPLAY");
  EXPECT_NE(FindResourceW(h, MAKEINTRESOURCEW(IDI_SKYVANE), MAKEINTRESOURCEW(14)), nullptr);  // RT_GROUP_ICON
  EXPECT_NE(FindResourceW(h, MAKEINTRESOURCEW(IDI_SMALL), MAKEINTRESOURCEW(14)), nullptr);

  HMENU menu = LoadMenuW(h, MAKEINTRESOURCEW(IDC_SKYVANE));
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 2);
  EXPECT_EQ(GetMenuItemID(GetSubMenu(menu, 0), 0), UINT(IDM_EXIT));
  EXPECT_EQ(GetMenuItemID(GetSubMenu(menu, 1), 0), UINT(IDM_ABOUT));
  DestroyMenu(menu);

  HACCEL accel = LoadAcceleratorsW(h, MAKEINTRESOURCEW(IDC_SKYVANE));
  ASSERT_NE(accel, nullptr);
  ACCEL entries[4] = {};
  ASSERT_EQ(CopyAcceleratorTableW(accel, entries, 4), 2);
  for (const ACCEL& a : entries) {
    if (a.cmd == 0) continue;
    EXPECT_EQ(a.cmd, IDM_ABOUT);
    EXPECT_TRUE(a.fVirt & FALT);
    EXPECT_FALSE(a.fVirt & FVIRTKEY);  // character codes
    EXPECT_TRUE(a.key == '?' || a.key == '/') << a.key;
  }
  EXPECT_NE(entries[0].key, entries[1].key);
  DestroyAcceleratorTable(accel);
  FreeLibrary(h);
}

// One window for the whole process: WndProc's monitor manager is a static.
class WndProcTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string dir = skytest::TestTmpDir();
    // The simulated devices' directory, with no device in it.
    SetEnvironmentVariableA("SKY_USBSIM_DIR", dir.c_str());
    DeleteFileA((dir + "\\devices.txt").c_str());
    s_log = dir + "\\wndproc.log";
    DeleteFileA(s_log.c_str());
    std::wstring wlog(s_log.begin(), s_log.end());
    CLogFile::Instance(wlog.c_str());
    AuvexTest_Reset();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"WndProcTestWindow";
    RegisterClassExW(&wc);
    s_hWnd = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                             nullptr, nullptr, wc.hInstance, nullptr);
  }
  static void TearDownTestSuite() {
    if (IsWindow(s_hWnd)) DestroyWindow(s_hWnd);
    CLogFile::Close();
  }
  std::string Log() { return ReadText(s_log); }

  static std::string s_log;
  static HWND s_hWnd;
};
std::string WndProcTest::s_log;
HWND WndProcTest::s_hWnd;

TEST_F(WndProcTest, CreationStartsTheManagerAndInstallsTheHookOnce) {
  ASSERT_NE(s_hWnd, nullptr);
  int installs = -1, uninstalls = -1;
  AuvexTest_GetHookCalls(&installs, &uninstalls);
  EXPECT_EQ(installs, 1);
  EXPECT_EQ(uninstalls, 0);
  EXPECT_EQ(Count(Log(), "[INFO]   [WndProc] s_monMgr.Init succ\r\n"), 1u) << Log();
  EXPECT_EQ(Count(Log(), "[ERROR]  [CMonitorMgr::CheckUsbDevicesOnInit] Not found\r\n"), 1u);
}

TEST_F(WndProcTest, OnlyInterfaceArrivalsAndRemovalsReachTheManager) {
  const size_t before = Count(Log(), "[WndProc]");
  // Volumes, ports and other events are not ours: answered 0, nothing logged.
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume)), 0);
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&volume)), 0);
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0), 0);
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0), 0);
  DEV_BROADCAST_HDR tooShort{};
  tooShort.dbch_size = 4;  // claims less than a header
  tooShort.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&tooShort)), 0);
  EXPECT_EQ(Count(Log(), "[WndProc]"), before);

  // An interface broadcast for a device that cannot be opened: both handed
  // on, both reported as failed.
  const wchar_t path[] = L"\\\\?\\Z:\\no\\such\\device#{1b866a70-854d-417f-b69d-b7ab9bfb8da5}";
  std::vector<uint8_t> block(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + sizeof(path));
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
  b->dbcc_size = DWORD(block.size());
  b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  memcpy(b->dbcc_name, path, sizeof(path));
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(b)), 0);
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(b)), 0);
  std::string log = Log();
  EXPECT_EQ(Count(log, "[INFO]   [WndProc] s_monMgr.OnDeviceArrival failed\r\n"), 1u) << log;
  EXPECT_EQ(Count(log, "[INFO]   [WndProc] s_monMgr.OnDeviceRemove failed\r\n"), 1u);

  EXPECT_EQ(SendMessageW(s_hWnd, WM_DISPLAYCHANGE, 32, MAKELPARAM(1920, 1080)), 0);
  EXPECT_EQ(Count(Log(), "[INFO]   [CMonitorMgr::OnDisplayChange] OnDisplayChange\r\n"), 1u);
}

TEST_F(WndProcTest, CloseUninstallsTheHookAndEndsTheLoopWithZero) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  SendMessageW(s_hWnd, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(s_hWnd));
  int installs = -1, uninstalls = -1;
  AuvexTest_GetHookCalls(&installs, &uninstalls);
  EXPECT_EQ(uninstalls, 1);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
}

}  // namespace
