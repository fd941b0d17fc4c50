// CMonitorMgr: one monitor processor for every USB display device present.
// Finds the devices attached at start, follows arrivals and removals through
// device-interface notifications sent to the message window, restarts
// stopped frame threads when the display configuration changes, and destroys
// every processor when the program ends.
//
// Threads: every operation runs on the main thread (from WndProc), and the
// destructor at process exit on that same thread after the message loop;
// only RequestClose may be called from any thread. No lock: the list and the
// handles are touched by the main thread alone.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <list>

#include "IMonitorProcessor.h"

// {1B866A70-854D-417F-B69D-B7AB9BFB8DA5}: the interface class of the devices.
extern const GUID GUID_DEVINTERFACE_USB_DISPLAY;

class CMonitorMgr final : public IMonitorProcessor::Delegate {
 public:
  CMonitorMgr();
  // Deletes every processor in list order, then unregisters the notification.
  ~CMonitorMgr();
  CMonitorMgr(const CMonitorMgr&) = delete;
  CMonitorMgr& operator=(const CMonitorMgr&) = delete;

  // Registers the window for notifications and, when that worked, starts a
  // processor for every device present. True exactly when registered.
  bool Init(HWND hWnd);
  bool RegisterDeviceInterfaceToHwnd(HWND hWnd);
  void CheckUsbDevicesOnInit();

  // A broadcast's device path names the device. True when a processor was
  // created and added.
  bool OnDeviceArrival(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast);
  // True when a processor with exactly that path (case-sensitive) was found
  // and destroyed.
  bool OnDeviceRemove(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast);
  // Starts the frame thread again where the monitor is active and the thread
  // has stopped.
  void OnDisplayChange();

  // Creates, initialises and starts one processor; null on failure.
  IMonitorProcessor* CreateMonitor(const wchar_t* szDevPath);

  // IMonitorProcessor::Delegate: posts WM_CLOSE to the window; any thread.
  void RequestClose() override;

  // Processors in creation order (for tests and diagnostics).
  const std::list<IMonitorProcessor*>& Monitors() const { return m_monitorList; }

 private:
  std::list<IMonitorProcessor*> m_monitorList;
  HDEVNOTIFY m_hDevNotify;
  HWND m_hWnd;
};
