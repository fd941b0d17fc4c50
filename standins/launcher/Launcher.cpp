// The launcher's actions (see Launcher.h). Runs on the caller's thread.
#include "Launcher.h"

#include <dbt.h>

#include <cwctype>

#include "SimRecords.h"

namespace launcher {

namespace {

struct FindContext {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindProgramWindow(HWND hWnd, LPARAM lParam) {
  auto* ctx = reinterpret_cast<FindContext*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(hWnd, &pid);
  if (pid != ctx->pid) return TRUE;
  wchar_t cls[64] = {};
  GetClassNameW(hWnd, cls, 64);
  if (wcscmp(cls, kWindowClass) != 0) return TRUE;
  ctx->found = hWnd;
  return FALSE;
}

}  // namespace

std::wstring SwapCase(const std::wstring& text) {
  std::wstring out = text;
  for (auto& c : out) c = iswupper(c) ? towlower(c) : towupper(c);
  return out;
}

std::wstring ExeDirectory() {
  wchar_t path[MAX_PATH * 2] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  std::wstring dir(path, n);
  size_t slash = dir.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : dir.substr(0, slash);
}

Launcher::Launcher(std::wstring simDir) : m_simDir(std::move(simDir)) {
  SetEnvironmentVariableW(L"SKY_USBSIM_DIR", m_simDir.c_str());
}

Launcher::~Launcher() {
  if (m_pi.hProcess) {
    if (Running()) Kill();
    CloseHandle(m_pi.hProcess);
    CloseHandle(m_pi.hThread);
  }
  if (m_hStopEvent) CloseHandle(m_hStopEvent);
}

bool Launcher::CreateStopEvent() {
  if (m_hStopEvent) return true;
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, kStopEventName);
  if (!h) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {  // someone else would stop our program
    CloseHandle(h);
    return false;
  }
  m_hStopEvent = h;
  return true;
}

bool Launcher::Start(const std::wstring& exePath, const std::wstring& outputFile) {
  if (m_pi.hProcess) return false;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  HANDLE out = INVALID_HANDLE_VALUE;
  HANDLE in = INVALID_HANDLE_VALUE;
  if (!outputFile.empty()) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    out = CreateFileW(outputFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = out;
  }
  std::wstring dir = exePath;
  size_t slash = dir.find_last_of(L"\\/");
  dir = slash == std::wstring::npos ? L"." : dir.substr(0, slash);
  std::wstring cmd = L"\"" + exePath + L"\"";
  BOOL ok = CreateProcessW(exePath.c_str(), cmd.data(), nullptr, nullptr, !outputFile.empty(), 0, nullptr, dir.c_str(),
                           &si, &m_pi);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  if (!ok) m_pi = {};
  return ok != FALSE;
}

bool Launcher::Running() const { return m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT; }

HWND Launcher::WaitForWindow(DWORD timeoutMs) {
  if (!m_pi.hProcess) return nullptr;
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    FindContext ctx{m_pi.dwProcessId, nullptr};
    EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&ctx));
    if (ctx.found) return m_hWnd = ctx.found;
    if (!Running() || GetTickCount64() >= end) return nullptr;
    Sleep(20);
  }
}

std::wstring Launcher::DevicePath(const std::wstring& name) const { return usbsim::InterfacePath(m_simDir, name); }

bool Launcher::Plug(const usbsim::DeviceConfig& device) {
  auto devices = usbsim::ReadDevices(m_simDir);
  for (const auto& d : devices)
    if (_wcsicmp(d.name.c_str(), device.name.c_str()) == 0) return false;
  devices.push_back(device);
  return usbsim::WriteDevices(m_simDir, devices);
}

bool Launcher::Arrive(const usbsim::DeviceConfig& device) {
  return Plug(device) && BroadcastInterface(DBT_DEVICEARRIVAL, DevicePath(device.name));
}

bool Launcher::Remove(const std::wstring& name) {
  auto devices = usbsim::ReadDevices(m_simDir);
  bool found = false;
  for (auto it = devices.begin(); it != devices.end(); ++it) {
    if (it->name == name) {
      devices.erase(it);
      found = true;
      break;
    }
  }
  return found && usbsim::WriteDevices(m_simDir, devices) &&
         BroadcastInterface(DBT_DEVICEREMOVECOMPLETE, DevicePath(name));
}

bool Launcher::Send(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!m_hWnd) return false;
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(m_hWnd, message, wParam, lParam, SMTO_NORMAL, 10000, &result) != 0;
}

bool Launcher::Post(UINT message, WPARAM wParam, LPARAM lParam) {
  return m_hWnd && PostMessageW(m_hWnd, message, wParam, lParam);
}

bool Launcher::BroadcastInterface(WPARAM event, const std::wstring& path) {
  std::vector<uint8_t> block = usbsim::InterfaceBroadcast(path, usbsim::kDisplayInterfaceGuid);
  return Send(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(block.data()));
}

bool Launcher::BroadcastHandle(WPARAM event, const std::wstring& name) {
  uintptr_t handle = 0;
  if (!usbsim::ReadDeviceHandle(usbsim::DeviceDirectory(m_simDir, name), &handle)) return false;
  std::vector<uint8_t> block = usbsim::HandleBroadcast(handle);
  return Send(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(block.data()));
}

bool Launcher::BroadcastVolume(WPARAM event) {
  DEV_BROADCAST_VOLUME v{};
  v.dbcv_size = sizeof v;
  v.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  v.dbcv_unitmask = 1u << ('E' - 'A');
  return Send(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&v));
}

bool Launcher::DisplayChange(int width, int height, int bitsPerPixel) {
  return Send(WM_DISPLAYCHANGE, WPARAM(bitsPerPixel), MAKELPARAM(width, height));
}

size_t Launcher::FramesReceived(const std::wstring& name) const {
  return usbsim::ReadFrameIndex(usbsim::DeviceDirectory(m_simDir, name)).size();
}

bool Launcher::WaitForFrames(const std::wstring& name, size_t count, DWORD timeoutMs) const {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (FramesReceived(name) < count) {
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
  return true;
}

bool Launcher::SignalStop() { return m_hStopEvent && SetEvent(m_hStopEvent); }

bool Launcher::WaitForExit(DWORD timeoutMs, DWORD* pExitCode) {
  if (!m_pi.hProcess || WaitForSingleObject(m_pi.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(m_pi.hProcess, &code);
  if (pExitCode) *pExitCode = code;
  return true;
}

void Launcher::Kill() {
  if (m_pi.hProcess) {
    TerminateProcess(m_pi.hProcess, 0xDEAD);
    WaitForSingleObject(m_pi.hProcess, 5000);
  }
}

}  // namespace launcher
