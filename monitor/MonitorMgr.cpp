// The monitor manager (see MonitorMgr.h). Main thread only, except
// RequestClose.
#include "MonitorMgr.h"

#include <cfgmgr32.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "LogFile.h"
#include "LogText.h"
#include "MonitorProcessor.h"

// Not declared by every SDK's cfgmgr32.h; exported by cfgmgr32.dll.
extern "C" DECLSPEC_IMPORT DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);

const GUID GUID_DEVINTERFACE_USB_DISPLAY = {
    0x1B866A70, 0x854D, 0x417F, {0xB6, 0x9D, 0xB7, 0xAB, 0x9B, 0xFB, 0x8D, 0xA5}};

namespace {

HRESULT HResultFromCr(CONFIGRET cr) { return HRESULT_FROM_WIN32(CM_MapCrToWin32Err(cr, ERROR_INVALID_DATA)); }

// The path a broadcast carries. The name is read no further than the
// broadcast's own size says, so a broadcast without a terminator (any
// process can send the window this message) is never read past its end.
bool BroadcastPath(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast, std::wstring& path) {
  constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (pBroadcast == nullptr || pBroadcast->dbcc_size < kNameOffset) return false;
  const size_t cchMax = (pBroadcast->dbcc_size - kNameOffset) / sizeof(wchar_t);
  const wchar_t* szName = pBroadcast->dbcc_name;
  size_t cch = 0;
  while (cch < cchMax && szName[cch] != L'\0') ++cch;
  path.assign(szName, cch);
  return true;
}

// Device interface names are compared the way Windows compares them:
// ordinal and without regard to case (Microsoft's documentation of
// CompareStringOrdinal recommends exactly this for file, registry and
// device names); the spelling of a notification need not be the
// enumeration's.
bool SamePath(const wchar_t* pA, size_t cchA, const std::wstring& b) {
  if (cchA != b.size() || cchA > static_cast<size_t>(INT_MAX)) return false;
  return CompareStringOrdinal(pA, static_cast<int>(cchA), b.data(), static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

enum class Presence { kPresent, kAbsent, kUnknown };

// One query of the present interfaces of our class, as
// CM_Get_Device_Interface_ListW reports them. It logs nothing itself: the
// failures met on the way are kept, in order, for the caller to log.
class CPresentInterfaces {
 public:
  enum class Step { kSize, kAlloc, kList };
  struct Failure {
    Step step;
    HRESULT hr;
  };

  CPresentInterfaces() = default;
  ~CPresentInterfaces() {
    if (m_pList != nullptr) HeapFree(GetProcessHeap(), 0, m_pList);
  }
  CPresentInterfaces(const CPresentInterfaces&) = delete;
  CPresentInterfaces& operator=(const CPresentInterfaces&) = delete;

  // The working HRESULT: a size or list query that failed gives its mapped
  // result, a failed allocation E_OUTOFMEMORY; a list that grew between the
  // queries (CR_BUFFER_SMALL) is asked for again without limit.
  HRESULT Query() {
    HRESULT hr = S_OK;
    GUID guid = GUID_DEVINTERFACE_USB_DISPLAY;
    for (;;) {
      ULONG cchList = 0;
      CONFIGRET cr = CM_Get_Device_Interface_List_SizeW(&cchList, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
      if (cr != CR_SUCCESS) {
        hr = HResultFromCr(cr);
        m_failures.push_back({Step::kSize, hr});
        break;
      }
      // A length whose byte count does not fit is treated as exhaustion.
      if (cchList > SIZE_MAX / sizeof(wchar_t) / 2 ||
          (m_pList = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cchList * sizeof(wchar_t)))) ==
              nullptr) {
        hr = E_OUTOFMEMORY;
        m_failures.push_back({Step::kAlloc, hr});
        break;
      }
      cr = CM_Get_Device_Interface_ListW(&guid, nullptr, m_pList, cchList, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
      if (cr == CR_SUCCESS) break;
      HeapFree(GetProcessHeap(), 0, m_pList);
      m_pList = nullptr;
      if (cr != CR_BUFFER_SMALL) hr = HResultFromCr(cr);
      m_failures.push_back({Step::kList, hr});
      if (cr != CR_BUFFER_SMALL) break;
    }
    return hr;
  }

  const std::vector<Failure>& Failures() const { return m_failures; }
  // The multi-string (paths, each terminated, then an empty one); null when
  // the query failed.
  const wchar_t* List() const { return m_pList; }

  // Whether `path` is listed, and with which spelling.
  Presence Find(const std::wstring& path, std::wstring* pListed) const {
    if (m_pList == nullptr) return Presence::kUnknown;
    for (const wchar_t* szPath = m_pList; *szPath != L'\0'; szPath += wcslen(szPath) + 1) {
      if (SamePath(szPath, wcslen(szPath), path)) {
        if (pListed != nullptr) pListed->assign(szPath);
        return Presence::kPresent;
      }
    }
    return Presence::kAbsent;
  }

 private:
  wchar_t* m_pList = nullptr;
  std::vector<Failure> m_failures;
};

// Whether the configuration manager lists `path` as a present interface now.
Presence QueryPresence(const std::wstring& path, std::wstring* pListed = nullptr) {
  CPresentInterfaces present;
  const HRESULT hr = present.Query();
  return FAILED(hr) ? Presence::kUnknown : present.Find(path, pListed);
}

}  // namespace

CMonitorMgr::CMonitorMgr() : m_hWnd(nullptr) {}

CMonitorMgr::~CMonitorMgr() {
  // Each device's handle notification is unregistered before its processor
  // closes the handle.
  while (!m_monitorList.empty()) DestroyMonitor(m_monitorList.front().get(), false);
  m_registrations.clear();  // unregisters what is left
  m_hDevNotify.Reset();
}

bool CMonitorMgr::Init(HWND hWnd) {
  m_hWnd = hWnd;
  if (!RegisterDeviceInterfaceToHwnd(hWnd)) {
    LOG_ERROR("RegisterDeviceInterfaceToHwnd failed\n");
    return false;
  }
  CheckUsbDevicesOnInit();
  return true;
}

bool CMonitorMgr::RegisterDeviceInterfaceToHwnd(HWND hWnd) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DISPLAY;
  filter.dbcc_name[0] = L'\0';
  m_hDevNotify.Reset(RegisterDeviceNotificationW(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
  if (!m_hDevNotify) {
    LOG_ERROR("RegisterDeviceNotification failed err is %d\n", static_cast<int>(GetLastError()));
    return false;
  }
  return true;
}

void CMonitorMgr::CheckUsbDevicesOnInit() {
  CPresentInterfaces present;
  const HRESULT hr = present.Query();
  for (const CPresentInterfaces::Failure& failure : present.Failures()) {
    const unsigned hrFailure = static_cast<unsigned>(failure.hr);
    switch (failure.step) {
      case CPresentInterfaces::Step::kSize:
        LOG_ERROR("CM_Get_Device_Interface_List_Size failed hr is %X\n", hrFailure);
        break;
      case CPresentInterfaces::Step::kAlloc:
        LOG_ERROR("HeapAlloc failed hr is %X\n", hrFailure);
        break;
      case CPresentInterfaces::Step::kList:
        LOG_ERROR("CM_Get_Device_Interface_List failed hr is %X\n", hrFailure);
        break;
    }
  }

  // A failed query whose result maps to success still leaves no list to read.
  const wchar_t* pList = present.List();
  if (FAILED(hr) || pList == nullptr) {
    LOG_ERROR("Something wrong hr is %X\n", static_cast<unsigned>(hr));
    return;
  }
  if (pList[0] == L'\0') {
    LOG_ERROR("Not found\n");
    return;
  }
  for (const wchar_t* szPath = pList; *szPath != L'\0'; szPath += wcslen(szPath) + 1) {
    LOG_INFO("path is %S\n", LogText(szPath).c_str());
    if (std::unique_ptr<IMonitorProcessor> pMon = CreateMonitor(szPath)) AddMonitor(std::move(pMon));
  }
}

std::unique_ptr<IMonitorProcessor> CMonitorMgr::CreateMonitor(const wchar_t* szDevPath) {
  std::unique_ptr<IMonitorProcessor> pMon(new (std::nothrow) CMonitorProcessor(this));
  if (!pMon) {
    LOG_ERROR("new CMonitorProcessor failed\n");
    return nullptr;
  }
  if (!pMon->Init(szDevPath)) {
    LOG_ERROR("pMon->Init failed\n");
    return nullptr;
  }
  pMon->Start();
  return pMon;
}

bool CMonitorMgr::OnDeviceArrival(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast) {
  std::wstring path;
  if (!BroadcastPath(pBroadcast, path)) {
    LOG_ERROR("CreateMonitor returned nullptr\n");
    return false;
  }
  // Only a present interface of our class is opened, and in the spelling
  // the configuration manager gave: a path from a forged broadcast (a named
  // pipe, a file) is never opened by this SYSTEM process.
  std::wstring listed;
  if (QueryPresence(path, &listed) != Presence::kPresent) {
    LOG_ERROR("OnDeviceArrival refused, not a present device interface: %S\n", LogText(path).c_str());
    return false;
  }
  // A registration left by a query-remove of this device is stale now.
  for (auto it = m_registrations.begin(); it != m_registrations.end();) {
    auto next = std::next(it);
    if (it->pMon == nullptr && SamePath(it->path.data(), it->path.size(), listed)) m_registrations.erase(it);
    it = next;
  }
  std::unique_ptr<IMonitorProcessor> pMon = CreateMonitor(listed.c_str());
  if (!pMon) {
    LOG_ERROR("CreateMonitor returned nullptr\n");
    return false;
  }
  AddMonitor(std::move(pMon));
  return true;
}

bool CMonitorMgr::OnDeviceRemove(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast) {
  std::wstring path;
  if (!BroadcastPath(pBroadcast, path)) return false;
  LOG_INFO("OnDeviceRemove path is %S\n", LogText(path).c_str());
  auto it = std::find_if(m_monitorList.begin(), m_monitorList.end(), [&](const auto& pMon) {
    const std::wstring devicePath = pMon->GetDevicePath();
    return SamePath(devicePath.data(), devicePath.size(), path);
  });
  if (it == m_monitorList.end()) return false;
  // Any process can send a removal: a device is let go only once the
  // configuration manager no longer lists its interface.
  switch (QueryPresence(path)) {
    case Presence::kPresent:
      LOG_ERROR("OnDeviceRemove refused, the device interface is still present: %S\n", LogText(path).c_str());
      return false;
    case Presence::kUnknown:
      LOG_ERROR("OnDeviceRemove refused, the present devices cannot be listed: %S\n", LogText(path).c_str());
      return false;
    case Presence::kAbsent:
      break;
  }
  DestroyMonitor(it->get(), false);
  return true;
}

bool CMonitorMgr::OnDeviceHandleEvent(WPARAM event, const DEV_BROADCAST_HANDLE* pBroadcast) {
  constexpr size_t kNeeded = offsetof(DEV_BROADCAST_HANDLE, dbch_handle) + sizeof(HANDLE);
  constexpr size_t kWithNotify = offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify) + sizeof(HDEVNOTIFY);
  if (pBroadcast == nullptr || pBroadcast->dbch_size < kNeeded) return false;
  // The device is named by dbch_handle, the file handle given to
  // RegisterDeviceNotification, and the registration by dbch_hdevnotify,
  // the handle that call returned (Microsoft's documentation of
  // DEV_BROADCAST_HANDLE). Windows fills in both. A closed device's handle
  // value may since have been given to another device, so a registration
  // the broadcast names is the one meant. Another process would have to
  // guess that value, so a removal that names it is taken at Windows' word,
  // even when the interface is listed again by then (the device came back as
  // a new device, which its arrival opens; the old handle is dead).
  //
  // A broadcast without a notification handle names the device by its file
  // handle alone. Any process on the desktop could send that, but what it
  // can do is bounded: it closes one open device until a failed query-remove
  // or its next arrival opens it again (no more than a forged WM_CLOSE,
  // which closes them all), and nothing is ever opened that the
  // configuration manager does not list.
  const HDEVNOTIFY hNamed = pBroadcast->dbch_size >= kWithNotify ? pBroadcast->dbch_hdevnotify : nullptr;
  const bool queryRemove = event == DBT_DEVICEQUERYREMOVE;
  const bool queryFailed = event == DBT_DEVICEQUERYREMOVEFAILED;
  auto it = std::find_if(m_registrations.begin(), m_registrations.end(), [&](const HandleRegistration& r) {
    if (r.hDevice != pBroadcast->dbch_handle) return false;
    if (hNamed != nullptr) return r.hNotify.Get() == hNamed;
    // A query-remove concerns an open device, its failure a closed one (a
    // later device may have been given the same handle value).
    return queryRemove ? r.pMon != nullptr : queryFailed ? r.pMon == nullptr : true;
  });
  if (it == m_registrations.end()) return false;
  // The registration's own state decides when the broadcast named it.
  if ((queryRemove && it->pMon == nullptr) || (queryFailed && it->pMon != nullptr)) return false;
  const std::wstring path = it->path;

  if (queryRemove) {
    // Windows removes, disables or updates a device only once every handle
    // to it is closed (Microsoft's documentation of DBT_DEVICEQUERYREMOVE):
    // the processor goes as for a removal, its registration stays to hear
    // whether the removal happens.
    LOG_INFO("OnDeviceQueryRemove closing the device: %S\n", LogText(path).c_str());
    DestroyMonitor(it->pMon, true);
    return true;
  }
  if (queryFailed) {
    m_registrations.erase(it);
    std::wstring listed;
    if (QueryPresence(path, &listed) != Presence::kPresent) {
      LOG_ERROR("OnDeviceQueryRemoveFailed, not a present device interface: %S\n", LogText(path).c_str());
      return false;
    }
    LOG_INFO("OnDeviceQueryRemoveFailed opening the device again: %S\n", LogText(listed).c_str());
    std::unique_ptr<IMonitorProcessor> pMon = CreateMonitor(listed.c_str());
    if (!pMon) return false;
    AddMonitor(std::move(pMon));
    return true;
  }
  // Removal complete or pending: as for an interface removal, only once the
  // interface is no longer listed, unless the broadcast named this
  // registration.
  if (hNamed == nullptr && QueryPresence(path) != Presence::kAbsent) {
    LOG_ERROR("OnDeviceHandleRemove refused, the device interface is not known to be gone: %S\n",
              LogText(path).c_str());
    return false;
  }
  if (it->pMon != nullptr)
    DestroyMonitor(it->pMon, false);
  else
    m_registrations.erase(it);
  return true;
}

HDEVNOTIFY CMonitorMgr::HandleNotification(const IMonitorProcessor* pMon) const {
  for (const HandleRegistration& r : m_registrations)
    if (r.pMon == pMon) return r.hNotify.Get();
  return nullptr;
}

void CMonitorMgr::AddMonitor(std::unique_ptr<IMonitorProcessor> pMonOwned) {
  IMonitorProcessor* pMon = pMonOwned.get();
  m_monitorList.push_back(std::move(pMonOwned));
  DEV_BROADCAST_HANDLE filter = {};
  filter.dbch_size = sizeof(filter);
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = pMon->GetDeviceHandle();
  // Microsoft's documentation of RegisterDeviceNotification: a handle filter
  // asks for the events of the device behind that open handle.
  HDEVNOTIFY hNotify = RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (hNotify == nullptr) {
    const DWORD err = GetLastError();  // before logging can change it
    LOG_ERROR("RegisterDeviceNotification for the device handle failed err is %d\n", static_cast<int>(err));
  }
  m_registrations.push_back({pMon, pMon->GetDevicePath(), filter.dbch_handle, CScopedDevNotify(hNotify)});
}

void CMonitorMgr::DestroyMonitor(IMonitorProcessor* pMon, bool keepRegistration) {
  for (auto it = m_registrations.begin(); it != m_registrations.end(); ++it) {
    if (it->pMon != pMon) continue;
    if (keepRegistration)
      it->pMon = nullptr;
    else
      m_registrations.erase(it);
    break;
  }
  // Out of the list first, then deleted.
  auto it = std::find_if(m_monitorList.begin(), m_monitorList.end(),
                         [pMon](const std::unique_ptr<IMonitorProcessor>& p) { return p.get() == pMon; });
  if (it == m_monitorList.end()) return;
  const std::unique_ptr<IMonitorProcessor> pOwned = std::move(*it);
  m_monitorList.erase(it);
}

void CMonitorMgr::OnDisplayChange() {
  LOG_INFO("OnDisplayChange\n");
  for (const auto& pMon : m_monitorList) {
    if (pMon->IsMonitorActive() && !pMon->IsImageThreadRunning()) pMon->Start();
  }
}

void CMonitorMgr::RequestClose() { PostMessageW(m_hWnd, WM_CLOSE, 0, 0); }
