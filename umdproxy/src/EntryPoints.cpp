// The driver entry points OpenAdapter (D3D9), OpenAdapter10, OpenAdapter10_2
// and OpenAdapter12, and the adapter-close wrappers. Each open asks the
// kernel-mode driver for AdapterPrivateData, loads the real vendor driver it
// names, calls the real entry point with the runtime's arguments and hands the
// runtime the real adapter table with device creation and adapter close
// replaced by Brisel's wrappers.
//
// Runs on whatever thread the runtime opens and closes adapters on. The
// adapter list lock is never held while the runtime or the real driver runs.
// Every failing path frees the record and releases a module it loaded; no
// exception can leave these functions (nothing in them throws).
#include "BriselEntry.h"

#include <cwchar>

#include "AdapterRecord.h"
#include "D3d10Device.h"
#include "D3d9Device.h"
#include "SystemSeams.h"

using namespace brisel;

namespace {

// Drops a record whose open failed before it was published, releasing the
// module it loaded.
HRESULT AbandonOpen(AdapterRecord* record, HRESULT hr) noexcept
{
    DeleteAdapterRecord(record, true);
    return hr;
}

// Releases the module of a record whose entry point was missing so that the
// record can try another driver.
void ReleaseModule(AdapterRecord* record) noexcept
{
    SysFreeLibrary(record->module);
    record->module = nullptr;
}

void ApplyDwmRule(AdapterRecord* record) noexcept
{
    if (HostPathContains(record, "dwm.exe")) record->isDwm = 1;
}

bool IsWindows7(const AdapterPrivateData& data) noexcept { return data.osMajor == 6 && data.osMinor == 1; }

// The iexplore.exe rule of the D3D10/11 entries.
bool RefusedByIexploreRule(const AdapterRecord* record, const wchar_t* name) noexcept
{
    return HostPathContains(record, "iexplore.exe") && IsWindows7(record->privateData) &&
           std::wcsstr(name, L"nvwgf2um") != nullptr;
}

// Common part of OpenAdapter10 and OpenAdapter10_2.
HRESULT OpenAdapter10Common(D3D10DDIARG_OPENADAPTER* pOpenData, bool is10_2) noexcept
{
    if (!pOpenData || !pOpenData->pAdapterCallbacks || !pOpenData->pAdapterFuncs) return E_INVALIDARG;

    AdapterRecord* record = NewAdapterRecord();
    if (!record) return E_OUTOFMEMORY;
    record->runtimeCallbacks = *pOpenData->pAdapterCallbacks;
    record->runtimeAdapter = pOpenData->hRTAdapter.handle;
    if (ReadHostPath(record)) ApplyDwmRule(record);

    AdapterPrivateData block{};
    if (FAILED(
            QueryPrivateData(record->runtimeCallbacks.pfnQueryAdapterInfoCb, record->runtimeAdapter, &block, record)))
        return AbandonOpen(record, E_OUTOFMEMORY);

    const UINT iface = pOpenData->Interface;
    const UINT major = is10_2 ? InterfaceMajor(iface) : 10;
    const char* entryName = is10_2 ? "OpenAdapter10_2" : "OpenAdapter10";

    wchar_t name[kUmdNameListUnits] = {};
    SelectDriverName(record->privateData, major, name, kUmdNameListUnits);
    if (RefusedByIexploreRule(record, name)) return AbandonOpen(record, E_OUTOFMEMORY);

    FARPROC entry = nullptr;
    HRESULT hr = LoadRealDriver(record, name, entryName, &entry);
    if (FAILED(hr) || !entry) {
        ReleaseModule(record);
        // A D3D11 driver without the entry: the D3D10 driver may serve it.
        if (!is10_2 || major != 11) return AbandonOpen(record, E_OUTOFMEMORY);
        std::wmemset(name, L'\0', kUmdNameListUnits);
        SelectDriverName(record->privateData, 10, name, kUmdNameListUnits);
        if (RefusedByIexploreRule(record, name)) return AbandonOpen(record, E_OUTOFMEMORY);
        hr = LoadRealDriver(record, name, entryName, &entry);
        if (FAILED(hr) || !entry) return AbandonOpen(record, E_OUTOFMEMORY);
    }

    D3D10DDIARG_OPENADAPTER copy = *pOpenData;
    copy.pAdapterFuncs_2 = &record->realAdapterFuncs.d3d10;
    AdapterList().InsertTail(&record->links);
    hr = ProcAs<PFND3D10DDI_OPENADAPTER>(entry)(&copy);
    if (FAILED(hr)) return AbandonOpen(record, hr);

    pOpenData->hAdapter = copy.hAdapter;
    const D3D10_2DDI_ADAPTERFUNCS& real = record->realAdapterFuncs.d3d10;

    if (!is10_2) {
        PublishAdapter(record, copy.hAdapter.pDrvPrivate);
        D3D10DDI_ADAPTERFUNCS* funcs = pOpenData->pAdapterFuncs;
        funcs->pfnCalcPrivateDeviceSize = real.pfnCalcPrivateDeviceSize;
        funcs->pfnCreateDevice = &D3d10CreateDeviceWrapper;
        funcs->pfnCloseAdapter = &D3d10CloseAdapterWrapper;
        return hr;
    }

    D3D10_2DDI_ADAPTERFUNCS* funcs = pOpenData->pAdapterFuncs_2;
    *funcs = real;
    if (!IsWrappedInterface10_2(iface)) {
        // Not wrapped: the runtime closes this adapter in the real driver
        // directly, so no close would ever reach the record. Drop it now; the
        // module stays loaded for the adapter's life.
        DeleteAdapterRecord(record, false);
        return hr;
    }
    PublishAdapter(record, copy.hAdapter.pDrvPrivate);
    funcs->pfnCreateDevice = &D3d10CreateDeviceWrapper;
    funcs->pfnCloseAdapter = &D3d10CloseAdapterWrapper;
    return hr;
}

}  // namespace

namespace brisel {

bool IsWrappedInterface10_2(UINT iface) noexcept
{
    const UINT major = InterfaceMajor(iface);
    if (major == 10) return iface == 0xA0009 || iface == 0xA000A;
    if (major == 11) return InterfaceMinor(iface) >= 11;
    return true;
}

HRESULT APIENTRY D3d9CloseAdapterWrapper(HANDLE hAdapter)
{
    AdapterRecord* record = FindAdapter(hAdapter);
    if (!record) return E_INVALIDARG;
    // Unlisted first: once the real driver closed it, the same handle value
    // may come back from another open on another thread.
    AdapterList().Unlink(&record->links);
    PFND3DDDI_CLOSEADAPTER realClose = record->realAdapterFuncs.d3d9.pfnCloseAdapter;
    HRESULT hr = realClose ? realClose(record->driverAdapter) : S_OK;
    DeleteAdapterRecord(record, true);
    return hr;
}

HRESULT APIENTRY D3d10CloseAdapterWrapper(D3D10DDI_HADAPTER hAdapter)
{
    AdapterRecord* record = FindAdapter(hAdapter.pDrvPrivate);
    if (!record) return E_INVALIDARG;
    AdapterList().Unlink(&record->links);
    PFND3D10DDI_CLOSEADAPTER realClose = record->realAdapterFuncs.d3d10.pfnCloseAdapter;
    HRESULT hr = realClose ? realClose(D3D10DDI_HADAPTER{record->driverAdapter}) : S_OK;
    DeleteAdapterRecord(record, true);
    return hr;
}

}  // namespace brisel

extern "C" HRESULT APIENTRY OpenAdapter(D3DDDIARG_OPENADAPTER* pOpenData)
{
    if (!pOpenData || !pOpenData->pAdapterCallbacks || !pOpenData->pAdapterFuncs) return E_INVALIDARG;

    AdapterRecord* record = NewAdapterRecord();
    if (!record) return E_OUTOFMEMORY;
    record->runtimeCallbacks = *pOpenData->pAdapterCallbacks;
    record->runtimeAdapter = pOpenData->hAdapter;

    if (ReadHostPath(record)) {
        ApplyDwmRule(record);
        if (HostPathContains(record, "kmplayer.exe") && pOpenData->Interface < 9)
            return AbandonOpen(record, E_OUTOFMEMORY);
    }

    AdapterPrivateData block{};
    if (FAILED(
            QueryPrivateData(record->runtimeCallbacks.pfnQueryAdapterInfoCb, record->runtimeAdapter, &block, record)))
        return AbandonOpen(record, E_OUTOFMEMORY);

    wchar_t listName[kUmdNameListUnits] = {};
    const wchar_t* name = listName;
    if (record->privateData.fallbackMode && !IsWindows7(record->privateData)) name = kFallbackD3d9Driver;
    else SelectDriverName(record->privateData, 9, listName, kUmdNameListUnits);

    FARPROC entry = nullptr;
    HRESULT hr = LoadRealDriver(record, name, "OpenAdapter", &entry);
    if (FAILED(hr) || !entry) return AbandonOpen(record, E_OUTOFMEMORY);

    D3DDDIARG_OPENADAPTER copy = *pOpenData;
    copy.pAdapterFuncs = &record->realAdapterFuncs.d3d9;
    if (copy.Version > kD3d9MaxRuntimeVersion) copy.Version = kD3d9MaxRuntimeVersion;

    AdapterList().InsertTail(&record->links);
    hr = ProcAs<PFND3DDDI_OPENADAPTER>(entry)(&copy);
    if (FAILED(hr)) return AbandonOpen(record, hr);

    record->driverVersion = copy.DriverVersion;
    PublishAdapter(record, copy.hAdapter);
    pOpenData->hAdapter = copy.hAdapter;
    pOpenData->DriverVersion = copy.DriverVersion;
    pOpenData->pAdapterFuncs->pfnGetCaps = record->realAdapterFuncs.d3d9.pfnGetCaps;
    pOpenData->pAdapterFuncs->pfnCreateDevice = &D3d9CreateDeviceWrapper;
    pOpenData->pAdapterFuncs->pfnCloseAdapter = &D3d9CloseAdapterWrapper;
    return hr;
}

extern "C" HRESULT APIENTRY OpenAdapter10(D3D10DDIARG_OPENADAPTER* pOpenData)
{
    return OpenAdapter10Common(pOpenData, false);
}

extern "C" HRESULT APIENTRY OpenAdapter10_2(D3D10DDIARG_OPENADAPTER* pOpenData)
{
    return OpenAdapter10Common(pOpenData, true);
}

extern "C" HRESULT APIENTRY OpenAdapter12(D3D12DDIARG_OPENADAPTER* pOpenData)
{
    if (!pOpenData || !pOpenData->pAdapterCallbacks) return E_INVALIDARG;

    AdapterPrivateData block{};
    HRESULT hr = QueryPrivateData(pOpenData->pAdapterCallbacks->pfnQueryAdapterInfoCb, pOpenData->hRTAdapter.handle,
                                  &block, nullptr);
    if (FAILED(hr)) return hr;

    wchar_t name[kHostPathChars] = {};
    SelectDriverName(block, 12, name, kHostPathChars);
    if (name[0] == L'\0') return E_OUTOFMEMORY;
    HMODULE module = SysLoadLibrary(name);
    if (!module) return E_OUTOFMEMORY;
    auto entry = ProcAs<PFND3D12DDI_OPENADAPTER>(SysGetProcAddress(module, "OpenAdapter12"));
    if (!entry) {
        SysFreeLibrary(module);
        return E_OUTOFMEMORY;
    }
    // The runtime talks to the real driver directly from here on; the module
    // stays loaded for the process's life unless the open failed.
    hr = entry(pOpenData);
    if (FAILED(hr)) SysFreeLibrary(module);
    return hr;
}
