// CMonitorMgr: one monitor processor for every USB display device present.
// Finds the devices attached at start, follows arrivals and removals through
// device-interface notifications sent to the message window, restarts
// stopped frame threads when the display configuration changes, and destroys
// every processor when the program ends.
//
// Any process on the desktop can send the window WM_DEVICECHANGE, so no
// broadcast is taken at its word: an arrival is acted on only for a path that
// the configuration manager lists as a present interface of our class (and
// the listed spelling is what gets opened), a removal only once the interface
// is no longer listed. Paths compare ordinal and without regard to case.
//
// Each opened device's file handle is registered for handle notifications,
// so that Windows can remove, disable or update the device: a query-remove
// tears the processor down (closing the handle), a failed query-remove
// creates it again while the interface is still present.
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
#include "ScopedHandle.h"

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

  // A broadcast's device path names the device. True when the path is a
  // present interface and a processor was created and added; a path that is
  // not is refused with one log line.
  bool OnDeviceArrival(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast);
  // True when a processor with that path (ordinal, case-insensitive) was
  // found and destroyed; a path still present is refused with one log line.
  bool OnDeviceRemove(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast);
  // A handle notification (DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED,
  // DBT_DEVICEREMOVEPENDING or DBT_DEVICEREMOVECOMPLETE). True when it named
  // one of our registrations and was acted on. One that names the
  // registration itself (dbch_hdevnotify) is matched by it, and its removal
  // is acted on without asking whether the interface is listed.
  bool OnDeviceHandleEvent(WPARAM event, const DEV_BROADCAST_HANDLE* pBroadcast);
  // Starts the frame thread again where the monitor is active and the thread
  // has stopped.
  void OnDisplayChange();

  // Creates, initialises and starts one processor; null on failure.
  IMonitorProcessor* CreateMonitor(const wchar_t* szDevPath);

  // IMonitorProcessor::Delegate: posts WM_CLOSE to the window; any thread.
  void RequestClose() override;

  // Processors in creation order (for tests and diagnostics).
  const std::list<IMonitorProcessor*>& Monitors() const { return m_monitorList; }
  // The handle notification registered for an open processor's device; null
  // when there is none (for tests and diagnostics).
  HDEVNOTIFY HandleNotification(const IMonitorProcessor* pMon) const;

 private:
  // The handle notification of one opened device. A handle event names it by
  // the device's file handle given at registration.
  struct HandleRegistration {
    IMonitorProcessor* pMon;  // null while the device is closed for a query-remove
    std::wstring path;
    HANDLE hDevice;
    CScopedDevNotify hNotify;  // none when the registration failed
  };

  // Appends a started processor and registers its device handle.
  void AddMonitor(IMonitorProcessor* pMon);
  // Removes a processor from the list and deletes it. Its registration is
  // unregistered first, or kept (for a query-remove) to hear how it ends.
  void DestroyMonitor(IMonitorProcessor* pMon, bool keepRegistration);

  std::list<IMonitorProcessor*> m_monitorList;
  std::list<HandleRegistration> m_registrations;
  HDEVNOTIFY m_hDevNotify;
  HWND m_hWnd;
};
