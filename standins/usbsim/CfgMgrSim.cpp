// cfgmgr32.dll stand-in: lists the interface paths of the simulated USB
// display devices named in the sim directory's devices.txt (see SimState.h),
// in file order, and nothing for any other interface class. cfgmgr.txt can
// script the faults that a real configuration manager shows: a failing size
// or list query, or a list that grew between the two queries.
//
// Threads: any; the state is re-read from the sim directory on every call.
// We define these functions: keep the header from declaring them imported.
#define CMAPI
#include <windows.h>
#include <cfgmgr32.h>

#include <cstring>
#include <string>

#include "SimState.h"

using namespace usbsim;

namespace {

// The multi-string of present interface paths, ended by an empty string.
std::wstring PresentList(const GUID* guid, const wchar_t* deviceId) {
  std::wstring list;
  if (IsEqualGUID(*guid, kDisplayInterfaceGuid) && (!deviceId || !*deviceId)) {
    std::wstring dir = SimDirectory();
    for (const auto& d : ReadDevices(dir)) {
      list += InterfacePath(dir, d.name);
      list.push_back(L'\0');
    }
  }
  list.push_back(L'\0');
  return list;
}

}  // namespace

extern "C" {

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID guid, DEVINSTID_W deviceId, ULONG flags) {
  if (!length || !guid) return CR_INVALID_POINTER;
  *length = 0;
  if (flags & ~ULONG(CM_GET_DEVICE_INTERFACE_LIST_BITS)) return CR_INVALID_FLAG;
  CfgMgrFaults faults = ReadCfgMgrFaults(SimDirectory());
  if (faults.sizeFail) return faults.sizeFail;
  *length = ULONG(PresentList(guid, deviceId).size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID guid, DEVINSTID_W deviceId, PZZWSTR buffer, ULONG length,
                                               ULONG flags) {
  if (!guid || !buffer) return CR_INVALID_POINTER;
  if (!length) return CR_INVALID_DATA;
  if (flags & ~ULONG(CM_GET_DEVICE_INTERFACE_LIST_BITS)) return CR_INVALID_FLAG;
  std::wstring dir = SimDirectory();
  CfgMgrFaults faults = ReadCfgMgrFaults(dir);
  if (faults.listFail) return faults.listFail;
  if (faults.bufferSmall > 0) {  // a device arrived since the size query
    --faults.bufferSmall;
    WriteCfgMgrFaults(dir, faults);
    return CR_BUFFER_SMALL;
  }
  std::wstring list = PresentList(guid, deviceId);
  if (list.size() > length) return CR_BUFFER_SMALL;
  memcpy(buffer, list.data(), list.size() * sizeof(wchar_t));
  return CR_SUCCESS;
}

// The documented mapping of configuration-manager results to Win32 errors;
// anything without one gives the caller's default.
DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET cr, DWORD defaultError) {
  switch (cr) {
    case CR_SUCCESS:
      return ERROR_SUCCESS;
    case CR_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CR_INVALID_POINTER:
      return ERROR_INVALID_USER_BUFFER;
    case CR_INVALID_FLAG:
      return ERROR_INVALID_FLAGS;
    case CR_INVALID_DEVNODE:
    case CR_INVALID_DEVICE_ID:
    case CR_INVALID_MACHINENAME:
    case CR_INVALID_PROPERTY:
    case CR_INVALID_DATA:
      return ERROR_INVALID_DATA;
    case CR_NO_SUCH_DEVNODE:
    case CR_NO_SUCH_VALUE:
    case CR_NO_SUCH_REGISTRY_KEY:
    case CR_NO_SUCH_DEVICE_INTERFACE:
      return ERROR_NOT_FOUND;
    case CR_ALREADY_SUCH_DEVNODE:
      return ERROR_ALREADY_EXISTS;
    case CR_BUFFER_SMALL:
      return ERROR_INSUFFICIENT_BUFFER;
    case CR_NO_REGISTRY_HANDLE:
      return ERROR_INVALID_HANDLE;
    case CR_REGISTRY_ERROR:
      return ERROR_REGISTRY_CORRUPT;
    case CR_ACCESS_DENIED:
      return ERROR_ACCESS_DENIED;
    case CR_CALL_NOT_IMPLEMENTED:
      return ERROR_CALL_NOT_IMPLEMENTED;
    default:
      return defaultError;
  }
}

}  // extern "C"
