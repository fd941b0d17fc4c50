// The monitor manager (see MonitorMgr.h). Main thread only, except
// RequestClose.
#include "MonitorMgr.h"

#include <cfgmgr32.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>

#include "LogFile.h"
#include "MonitorProcessor.h"

// Not declared by every SDK's cfgmgr32.h; exported by cfgmgr32.dll.
extern "C" DECLSPEC_IMPORT DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);

const GUID GUID_DEVINTERFACE_USB_DISPLAY = {0x1B866A70, 0x854D, 0x417F,
                                            {0xB6, 0x9D, 0xB7, 0xAB, 0x9B, 0xFB, 0x8D, 0xA5}};

namespace {

HRESULT HResultFromCr(CONFIGRET cr) {
  return HRESULT_FROM_WIN32(CM_MapCrToWin32Err(cr, ERROR_INVALID_DATA));
}

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

}  // namespace

CMonitorMgr::CMonitorMgr() : m_hDevNotify(nullptr), m_hWnd(nullptr) {}

CMonitorMgr::~CMonitorMgr() {
  for (IMonitorProcessor* pMon : m_monitorList) delete pMon;
  m_monitorList.clear();
  UnregisterDeviceNotification(m_hDevNotify);
}

bool CMonitorMgr::Init(HWND hWnd) {
  m_hWnd = hWnd;
  if (!RegisterDeviceInterfaceToHwnd(hWnd)) {
    LOG_ERROR("%s [%04d/%04d] %s [%s] RegisterDeviceInterfaceToHwnd failed\n");
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
  m_hDevNotify = RegisterDeviceNotificationW(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (m_hDevNotify == nullptr) {
    LOG_ERROR("%s [%04d/%04d] %s [%s] RegisterDeviceNotification failed err is %d\n",
              static_cast<int>(GetLastError()));
    return false;
  }
  return true;
}

void CMonitorMgr::CheckUsbDevicesOnInit() {
  HRESULT hr = S_OK;
  wchar_t* pList = nullptr;
  GUID guid = GUID_DEVINTERFACE_USB_DISPLAY;
  for (;;) {
    ULONG cchList = 0;
    CONFIGRET cr =
        CM_Get_Device_Interface_List_SizeW(&cchList, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (cr != CR_SUCCESS) {
      hr = HResultFromCr(cr);
      LOG_ERROR("%s [%04d/%04d] %s [%s] CM_Get_Device_Interface_List_Size failed hr is %X\n",
                static_cast<unsigned>(hr));
      break;
    }
    // A length whose byte count does not fit is treated as exhaustion.
    if (cchList > SIZE_MAX / sizeof(wchar_t) / 2 ||
        (pList = static_cast<wchar_t*>(
             HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cchList * sizeof(wchar_t)))) == nullptr) {
      hr = E_OUTOFMEMORY;
      LOG_ERROR("%s [%04d/%04d] %s [%s] HeapAlloc failed hr is %X\n", static_cast<unsigned>(hr));
      break;
    }
    cr = CM_Get_Device_Interface_ListW(&guid, nullptr, pList, cchList, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (cr == CR_SUCCESS) break;
    HeapFree(GetProcessHeap(), 0, pList);
    pList = nullptr;
    if (cr != CR_BUFFER_SMALL) hr = HResultFromCr(cr);
    LOG_ERROR("%s [%04d/%04d] %s [%s] CM_Get_Device_Interface_List failed hr is %X\n",
              static_cast<unsigned>(hr));
    // The list grew since the size query: ask again.
    if (cr != CR_BUFFER_SMALL) break;
  }

  // A failed query whose result maps to success still leaves no list to read.
  if (FAILED(hr) || pList == nullptr) {
    LOG_ERROR("%s [%04d/%04d] %s [%s] Something wrong hr is %X\n", static_cast<unsigned>(hr));
    return;
  }
  if (pList[0] == L'\0') {
    HeapFree(GetProcessHeap(), 0, pList);
    LOG_ERROR("%s [%04d/%04d] %s [%s] Not found\n");
    return;
  }
  for (const wchar_t* szPath = pList; *szPath != L'\0'; szPath += wcslen(szPath) + 1) {
    LOG_INFO("%s [%04d/%04d] %s [%s] path is %S\n", szPath);
    if (IMonitorProcessor* pMon = CreateMonitor(szPath)) m_monitorList.push_back(pMon);
  }
  HeapFree(GetProcessHeap(), 0, pList);
}

IMonitorProcessor* CMonitorMgr::CreateMonitor(const wchar_t* szDevPath) {
  IMonitorProcessor* pMon = new (std::nothrow) CMonitorProcessor(this);
  if (pMon == nullptr) {
    LOG_ERROR("%s [%04d/%04d] %s [%s] new CMonitorProcessor failed\n");
    return nullptr;
  }
  if (!pMon->Init(szDevPath)) {
    LOG_ERROR("%s [%04d/%04d] %s [%s] pMon->Init failed\n");
    delete pMon;
    return nullptr;
  }
  pMon->Start();
  return pMon;
}

bool CMonitorMgr::OnDeviceArrival(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast) {
  std::wstring path;
  IMonitorProcessor* pMon = BroadcastPath(pBroadcast, path) ? CreateMonitor(path.c_str()) : nullptr;
  if (pMon == nullptr) {
    LOG_ERROR("%s [%04d/%04d] %s [%s] CreateMonitor returned nullptr\n");
    return false;
  }
  m_monitorList.push_back(pMon);
  return true;
}

bool CMonitorMgr::OnDeviceRemove(const DEV_BROADCAST_DEVICEINTERFACE_W* pBroadcast) {
  std::wstring path;
  if (!BroadcastPath(pBroadcast, path)) return false;
  LOG_INFO("%s [%04d/%04d] %s [%s] OnDeviceRemove path is %S\n", path.c_str());
  // Exact match: same length and every code unit equal, case included.
  auto it = std::find_if(m_monitorList.begin(), m_monitorList.end(),
                         [&](IMonitorProcessor* pMon) { return pMon->GetDevicePath() == path; });
  if (it == m_monitorList.end()) return false;
  IMonitorProcessor* pMon = *it;
  m_monitorList.remove(pMon);
  delete pMon;
  return true;
}

void CMonitorMgr::OnDisplayChange() {
  LOG_INFO("%s [%04d/%04d] %s [%s] OnDisplayChange\n");
  for (IMonitorProcessor* pMon : m_monitorList) {
    if (pMon->IsMonitorActive() && !pMon->IsImageThreadRunning()) pMon->Start();
  }
}

void CMonitorMgr::RequestClose() { PostMessageW(m_hWnd, WM_CLOSE, 0, 0); }
