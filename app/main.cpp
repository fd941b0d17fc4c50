// Skyvane's process: the entry wWinMain, the hidden message window and its
// WndProc, which hands every device and display event to the monitor
// manager, and the watcher thread that turns the launcher's stop event into
// WM_CLOSE.
//
// Threads: the main thread runs wWinMain, the message loop and WndProc (and
// with it every monitor-manager call). The watcher thread only waits on the
// stop and exit events and sends WM_CLOSE. Frame threads (monitor/) never
// touch the window.
#include <windows.h>
#include <dbt.h>

#include <cwchar>
#include <new>

#include "Auvex.h"
#include "CrashDump.h"
#include "LogFile.h"
#include "MonitorMgr.h"
#include "ScopedHandle.h"
#include "resource.h"

namespace {

constexpr int kMaxLoadString = 100;
constexpr wchar_t kStopEventName[] = L"Global\\SKY_VANE_STOPEVENT";

wchar_t s_szTitle[kMaxLoadString];        // string 103
wchar_t s_szWindowClass[kMaxLoadString];  // string 109

// Set once WM_CLOSE has removed the hook and destroyed the window: the
// closing steps run once, however often and from wherever WM_CLOSE comes.
bool s_bClosed = false;

// Handed to the watcher thread, which frees it. The events stay open, owned
// by wWinMain, until the watcher has ended: [0] stop, [1] exit.
struct WatchContext {
  HWND hWnd;
  HANDLE hEvents[2];
};

// The stop event and the exit event the watcher waits on, closed in that
// order when wWinMain returns (after the watcher's own handle, declared
// later, and before the log).
struct WatchEvents {
  CScopedKernelHandle hStop;
  CScopedKernelHandle hExit;
  WatchEvents() = default;
  WatchEvents(const WatchEvents&) = delete;
  WatchEvents& operator=(const WatchEvents&) = delete;
  ~WatchEvents() {
    hStop.Reset();
    hExit.Reset();
  }
};

// Closes the log when wWinMain returns, after every handle it declared later.
struct LogCloser {
  LogCloser() = default;
  LogCloser(const LogCloser&) = delete;
  LogCloser& operator=(const LogCloser&) = delete;
  ~LogCloser() { CLogFile::Close(); }
};

}  // namespace

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI WatchStopEvent(LPVOID pParam);
bool IsSystemAccount(PSID pUser, const wchar_t* szName);
int RunMessageLoop(HWND hWnd, HACCEL hAccelTable);

namespace {

ATOM RegisterWindowClass(HINSTANCE hInstance) {
  WNDCLASSEXW wcex{};
  wcex.cbSize = sizeof(wcex);
  wcex.style = CS_HREDRAW | CS_VREDRAW;
  wcex.lpfnWndProc = WndProc;
  wcex.cbClsExtra = 0;
  wcex.cbWndExtra = 0;
  wcex.hInstance = hInstance;
  wcex.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_SKYVANE));
  wcex.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wcex.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wcex.lpszMenuName = MAKEINTRESOURCEW(IDC_SKYVANE);
  wcex.lpszClassName = s_szWindowClass;
  wcex.hIconSm = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_SMALL));
  return RegisterClassExW(&wcex);
}

// Waits for the watcher thread to end while still handling messages sent to
// this thread's window: a watcher that saw the stop event may be inside
// SendMessageW(WM_CLOSE) right now, and a plain join would never return.
void JoinWatcher(HANDLE hThread) {
  while (MsgWaitForMultipleObjects(1, &hThread, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

// Whether the account running this process may run the program; see
// IsSystemAccount.
bool ProcessMayRun() {
  alignas(TOKEN_USER) BYTE tokenUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  PSID pUser = nullptr;
  HANDLE hRawToken = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hRawToken)) {
    const CScopedKernelHandle hToken(hRawToken);
    DWORD cb = 0;
    if (GetTokenInformation(hToken.Get(), TokenUser, tokenUser, sizeof(tokenUser), &cb))
      pUser = reinterpret_cast<TOKEN_USER*>(tokenUser)->User.Sid;
  }
  wchar_t szUser[MAX_PATH] = {};
  DWORD cchUser = MAX_PATH;
  const bool nameKnown = GetUserNameW(szUser, &cchUser) != FALSE;
  return IsSystemAccount(pUser, nameKnown ? szUser : nullptr);
}

}  // namespace

// The LocalSystem account by its SID (S-1-5-18), whose name is translated
// on some language editions of Windows (Microsoft's documentation of
// well-known SIDs names the account by this SID, the name being only its
// English display form), or by the name "SYSTEM" without regard to case.
// An account whose name cannot be read counts as SYSTEM, as before.
bool IsSystemAccount(PSID pUser, const wchar_t* szName) {
  if (pUser != nullptr && IsValidSid(pUser) && IsWellKnownSid(pUser, WinLocalSystemSid)) return true;
  return szName == nullptr || _wcsicmp(szName, L"SYSTEM") == 0;
}

// The message loop, then the closing steps that WM_CLOSE would have run if
// it never came: another process may post WM_QUIT straight to this thread
// (Microsoft's documentation of WM_QUIT: it is meant to come only from
// PostQuitMessage), and its wParam is not our exit code. Returns 0.
int RunMessageLoop(HWND hWnd, HACCEL hAccelTable) {
  // GetMessageW returns -1 on an error; only a positive result is a message.
  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!TranslateAcceleratorW(msg.hwnd, hAccelTable, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  if (!s_bClosed && IsWindow(hWnd)) SendMessageW(hWnd, WM_CLOSE, 0, 0);
  return 0;
}

DWORD WINAPI WatchStopEvent(LPVOID pParam) {
  auto* pContext = static_cast<WatchContext*>(pParam);
  const DWORD wait = WaitForMultipleObjects(2, pContext->hEvents, FALSE, INFINITE);
  if (wait == WAIT_OBJECT_0) SendMessageW(pContext->hWnd, WM_CLOSE, 0, 0);
  delete pContext;
  return 0;
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // Constructed by the first message CreateWindowExW sends, destroyed at
  // process exit after wWinMain has closed the log.
  static CMonitorMgr s_monMgr;

#ifdef SKYVANE_TEST_CRASH
  // Test build only (SkyvaneCrashTest.exe): this message faults on purpose.
  if (message == WM_APP + 0x5C) *static_cast<volatile int*>(nullptr) = 0;
#endif

  switch (message) {
    case WM_CREATE:
      s_bClosed = false;
      if (s_monMgr.Init(hWnd)) {
        InstallHook();
        LOG_INFO("s_monMgr.Init succ\n");
      } else {
        LOG_INFO("s_monMgr.Init failed\n");
      }
      return 0;

    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;

    case WM_CLOSE:
      if (s_bClosed) return 0;
      s_bClosed = true;
      UnInstallHook();
      return DefWindowProcW(hWnd, message, wParam, lParam);

    case WM_DISPLAYCHANGE:
      s_monMgr.OnDisplayChange();
      return 0;

    case WM_DEVICECHANGE: {
      // lParam is read only for the events that carry a broadcast.
      const bool handleEvent = wParam == DBT_DEVICEQUERYREMOVE || wParam == DBT_DEVICEQUERYREMOVEFAILED ||
                               wParam == DBT_DEVICEREMOVEPENDING || wParam == DBT_DEVICEREMOVECOMPLETE;
      if (wParam != DBT_DEVICEARRIVAL && !handleEvent) return 0;
      const auto* pHeader = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
      if (pHeader == nullptr || pHeader->dbch_size < sizeof(DEV_BROADCAST_HDR)) return 0;
      // Handle notifications of our open devices. Microsoft's documentation
      // of DBT_DEVICEQUERYREMOVE: TRUE grants the removal.
      if (handleEvent && pHeader->dbch_devicetype == DBT_DEVTYP_HANDLE) {
        s_monMgr.OnDeviceHandleEvent(wParam, reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam));
        return wParam == DBT_DEVICEQUERYREMOVE ? TRUE : 0;
      }
      if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) return 0;
      // Only interface broadcasts are ours; volumes and ports are ignored.
      if (pHeader->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return 0;
      const auto* pBroadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
      if (wParam == DBT_DEVICEARRIVAL) {
        if (s_monMgr.OnDeviceArrival(pBroadcast))
          LOG_INFO("s_monMgr.OnDeviceArrival succ\n");
        else
          LOG_INFO("s_monMgr.OnDeviceArrival failed\n");
      } else {
        if (s_monMgr.OnDeviceRemove(pBroadcast))
          LOG_INFO("s_monMgr.OnDeviceRemove succ\n");
        else
          LOG_INFO("s_monMgr.OnDeviceRemove failed\n");
      }
      return 0;
    }

    default:
      break;
  }
  return DefWindowProcW(hWnd, message, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow) {
  (void)hPrevInstance;
  (void)lpCmdLine;
  (void)nCmdShow;

  // Only the SYSTEM account runs the program.
  if (!ProcessMayRun()) return 0;

  SetProcessShutdownParameters(0, 0);
  SetUnhandledExceptionFilter(my_exception_filter);

  LoadStringW(hInstance, IDS_APP_TITLE, s_szTitle, kMaxLoadString);
  LoadStringW(hInstance, IDC_SKYVANE, s_szWindowClass, kMaxLoadString);
  RegisterWindowClass(hInstance);

  // A temporary directory or log name that does not fit the buffers is
  // treated as no temporary directory: the program logs to standard output.
  wchar_t szTempDir[MAX_PATH] = {};
  const DWORD cchTemp = GetTempPathW(MAX_PATH, szTempDir);
  if (cchTemp != 0 && cchTemp < MAX_PATH) {
    wchar_t szLogPath[MAX_PATH];
    if (swprintf(szLogPath, MAX_PATH, L"%lsSkyvane.log", szTempDir) > 0) CLogFile::Instance(szLogPath);
  }
  const LogCloser closeLog;

  HWND hWnd = CreateWindowExW(0, s_szWindowClass, s_szTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                              nullptr, nullptr, hInstance, nullptr);
  if (hWnd == nullptr) {
    LOG_ERROR("CreateWindowW failed err is %d\n", static_cast<int>(GetLastError()));
    return 0;
  }

  HACCEL hAccelTable = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDC_SKYVANE));

  WatchEvents events;
  events.hStop.Reset(OpenEventW(EVENT_ALL_ACCESS, FALSE, kStopEventName));
  if (!events.hStop) {
    LOG_ERROR("OpenEvent failed err is %d\n", static_cast<int>(GetLastError()));
    return 0;
  }
  events.hExit.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!events.hExit) {
    LOG_ERROR("CreateEvent failed err is %d\n", static_cast<int>(GetLastError()));
    return 0;
  }

  // Without a watcher nothing would ever honour the stop event: close the
  // window the way the stop event would, and end.
  CScopedKernelHandle hWatcher;
  if (auto* pContext = new (std::nothrow) WatchContext{hWnd, {events.hStop.Get(), events.hExit.Get()}}) {
    hWatcher.Reset(CreateThread(nullptr, 0, WatchStopEvent, pContext, 0, nullptr));
    if (!hWatcher) delete pContext;
  }
  if (!hWatcher) {
    LOG_ERROR("Start watcher thread failed err is %d\n", static_cast<int>(GetLastError()));
    SendMessageW(hWnd, WM_CLOSE, 0, 0);
    return 0;
  }

  const int exitCode = RunMessageLoop(hWnd, hAccelTable);

  // The watcher ends before the events it waits on are closed.
  SetEvent(events.hExit.Get());
  JoinWatcher(hWatcher.Get());
  return exitCode;
}
