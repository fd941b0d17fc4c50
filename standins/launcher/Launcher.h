// The launcher that starts and stops Skyvane, as the service outside the
// product does: it creates the stop event "Global\SKY_VANE_STOPEVENT",
// starts Skyvane.exe, and later signals the event and collects the exit
// code. For tests it also plays the rest of the machine: it plugs simulated
// USB display devices in and out (the device list of the USB stand-ins plus
// the WM_DEVICECHANGE interface broadcast that Windows sends the program's
// window) and announces display changes.
//
// One Launcher drives one program instance; all calls on one thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "SimState.h"

namespace launcher {

constexpr wchar_t kStopEventName[] = L"Global\\SKY_VANE_STOPEVENT";
constexpr wchar_t kWindowClass[] = L"TOLVARDISPLAY";

class Launcher {
 public:
  // simDir: the simulated devices' directory (see SimState.h); it is also
  // handed to the program through SKY_USBSIM_DIR.
  explicit Launcher(std::wstring simDir);
  ~Launcher();
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // Creates the stop event (manual reset, not signalled). False when it
  // cannot be created or already exists (another launcher owns it).
  bool CreateStopEvent();
  // Starts the program with the launcher's environment; its standard output
  // and error go to `outputFile` when one is given (else they are shared).
  bool Start(const std::wstring& exePath, const std::wstring& outputFile = L"");
  // Waits until the program's hidden window exists; null on time-out or
  // when the program ended first.
  HWND WaitForWindow(DWORD timeoutMs);
  HWND Window() const { return m_hWnd; }
  DWORD ProcessId() const { return m_pi.dwProcessId; }
  bool Running() const;

  // Device list without broadcast: devices present before the program starts.
  bool Plug(const usbsim::DeviceConfig& device);
  // Plugs the device in and sends DBT_DEVICEARRIVAL for its interface.
  bool Arrive(const usbsim::DeviceConfig& device);
  // Unplugs the device and sends DBT_DEVICEREMOVECOMPLETE for its interface.
  bool Remove(const std::wstring& name);
  // Sends an interface broadcast for any path, leaving the device list alone.
  bool BroadcastInterface(WPARAM event, const std::wstring& path);
  // Sends a handle notification (DBT_DEVICEQUERYREMOVE and the like) naming
  // the file handle the program last opened the device with, as the
  // simulated winusb.dll recorded it. False when no handle was recorded.
  bool BroadcastHandle(WPARAM event, const std::wstring& name);
  // Sends an arrival or removal broadcast of a volume (not an interface).
  bool BroadcastVolume(WPARAM event);
  bool DisplayChange(int width, int height, int bitsPerPixel = 32);
  // Any message, sent and waited for (at most 10 s).
  bool Send(UINT message, WPARAM wParam, LPARAM lParam);
  // Any message, posted without waiting.
  bool Post(UINT message, WPARAM wParam, LPARAM lParam);

  // Frames that a device has received so far (all sessions).
  size_t FramesReceived(const std::wstring& name) const;
  // Waits until the device has received at least `count` frames.
  bool WaitForFrames(const std::wstring& name, size_t count, DWORD timeoutMs) const;

  bool SignalStop();
  // Waits for the program to end; false on time-out (the program keeps running).
  bool WaitForExit(DWORD timeoutMs, DWORD* pExitCode);
  // Ends a program that hangs, so that a failed test leaves nothing behind.
  void Kill();

  const std::wstring& SimDir() const { return m_simDir; }
  std::wstring DevicePath(const std::wstring& name) const;

 private:
  std::wstring m_simDir;
  HANDLE m_hStopEvent = nullptr;
  PROCESS_INFORMATION m_pi{};
  HWND m_hWnd = nullptr;
};

// Swaps the case of every letter: a path that names the same file for the
// file system but is a different string.
std::wstring SwapCase(const std::wstring& text);
// Directory of the running executable, without trailing backslash.
std::wstring ExeDirectory();

}  // namespace launcher
