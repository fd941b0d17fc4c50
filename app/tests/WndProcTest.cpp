// Tests of the program's window procedure and resources: WndProc (compiled
// from main.cpp into this test) drives the real monitor manager against the
// stand-in libAuvex, whose counters show the hook calls; the resources are
// read from the built Skyvane.exe.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sddl.h>

#include "AuvexTestControl.h"
#include "LogFile.h"
#include "SkyTestSupport.h"
#include "resource.h"

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
bool IsSystemAccount(PSID pUser, const wchar_t* szName);
int RunMessageLoop(HWND hWnd, HACCEL hAccelTable);

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
    skytest::RegisterTestWindowClass(L"WndProcTestWindow", WndProc);
    s_hWnd = CreateWindowExW(0, L"WndProcTestWindow", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                             nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
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

  // A query-remove is granted (TRUE) whether or not it names one of ours.
  DEV_BROADCAST_HANDLE handle{};
  handle.dbch_size = sizeof handle;
  handle.dbch_devicetype = DBT_DEVTYP_HANDLE;
  handle.dbch_handle = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&handle)), TRUE);
  EXPECT_EQ(SendMessageW(s_hWnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVEFAILED, reinterpret_cast<LPARAM>(&handle)), 0);

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

// The account check: LocalSystem by its SID whatever its name is in the
// edition's language, or any account named SYSTEM (the name as before).
TEST(SkyvaneAccount, LocalSystemBySidOrTheNameSystem) {
  struct Case {
    const wchar_t* sid;   // null: the token could not be read
    const wchar_t* name;  // null: the name could not be read
    bool runs;
  };
  const Case cases[] = {
      {L"S-1-5-18", L"SYSTEM", true},
      {L"S-1-5-18", L"Syst\x00E8me", true},  // translated names
      {L"S-1-5-18", L"\x0421\x0418\x0421\x0422\x0415\x041C\x0410", true},
      {L"S-1-5-18", nullptr, true},
      {L"S-1-5-21-1-2-3-1000", L"system", true},  // the name alone, as on Wine
      {L"S-1-5-21-1-2-3-1000", L"alice", false},
      {L"S-1-5-19", L"LOCAL SERVICE", false},
      {L"S-1-5-20", L"NETWORK SERVICE", false},
      {L"S-1-5-32-544", L"Administrators", false},
      {nullptr, L"alice", false},
      {nullptr, L"SYSTEM", true},
      {nullptr, nullptr, true},
  };
  for (const Case& c : cases) {
    PSID pSid = nullptr;
    if (c.sid) {
      ASSERT_TRUE(ConvertStringSidToSidW(c.sid, &pSid)) << GetLastError();
    }
    EXPECT_EQ(IsSystemAccount(pSid, c.name), c.runs)
        << (c.sid ? std::string(c.sid, c.sid + wcslen(c.sid)) : "no sid") << " / " << (c.name ? "name" : "no name");
    if (pSid) LocalFree(pSid);
  }
}

// However the message loop ends (WM_CLOSE from the stop event or the
// manager, or a WM_QUIT posted by another process with a code of its own),
// the hook is removed and the window destroyed exactly once, and the code
// is 0. Each case has its own window (the manager is WndProc's static).
TEST(SkyvaneMessageLoop, EveryWayOutClosesOnceAndReturnsZero) {
  struct Case {
    const char* name;
    std::vector<std::pair<UINT, WPARAM>> posted;  // in order, to the window
  };
  const Case cases[] = {
      {"close", {{WM_CLOSE, 0}}},
      {"foreign quit", {{WM_QUIT, 77}}},
      {"close then quit", {{WM_CLOSE, 0}, {WM_QUIT, 5}}},
      {"quit then close", {{WM_QUIT, 0xC0000005}, {WM_CLOSE, 0}}},
      {"close twice", {{WM_CLOSE, 0}, {WM_CLOSE, 0}}},
  };
  skytest::RegisterTestWindowClass(L"MessageLoopTestWindow", WndProc);
  for (const Case& c : cases) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    HWND hWnd = CreateWindowExW(0, L"MessageLoopTestWindow", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT,
                                0, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(hWnd, nullptr) << c.name;
    int installs = 0, uninstalls = 0;
    AuvexTest_GetHookCalls(&installs, &uninstalls);
    const int uninstallsBefore = uninstalls;
    for (const auto& m : c.posted) ASSERT_TRUE(PostMessageW(hWnd, m.first, m.second, 0)) << c.name;
    EXPECT_EQ(RunMessageLoop(hWnd, nullptr), 0) << c.name;
    EXPECT_FALSE(IsWindow(hWnd)) << c.name;
    AuvexTest_GetHookCalls(&installs, &uninstalls);
    EXPECT_EQ(uninstalls - uninstallsBefore, 1) << c.name;
  }
}

}  // namespace
