// A fake vendor user-mode display driver, built several times under different
// file names (FAKEUMD_VARIANT) with and without each entry point
// (FAKEUMD_HAS_OPENADAPTER*). Its entry points and tables record every call
// in fakeumd_state.dll and call the runtime's callbacks the way a real driver
// does: device creation may allocate through pfnAllocateCb, resource creation
// allocates one allocation per surface, resource destruction frees them with
// pfnDeallocate2Cb, present and flush submit with pfnSubmitCommandCb. The D3D9
// device functions live in FakeUmdD3d9.cpp.
// The D3D10/11 device and its DXGI functions are in FakeUmdD3d10.cpp and
// FakeUmdDxgi.cpp.
// Runs on the caller's thread; per-device state is guarded by the device's lock.
#include <new>

#include "FakeUmdD3d10.h"
#include "FakeUmdD3d9.h"
#include "FakeUmdDriver.h"
#include "FakeUmdState.h"
#include "ddi/D3d10Ddi.h"
#include "ddi/D3d12Ddi.h"
#include "ddi/D3d9Ddi.h"

#define FAKEUMD_EXPORT extern "C" __declspec(dllexport)

namespace {

constexpr int kVariant = FAKEUMD_VARIANT;
using fakeumd::RecordCall;

// A real driver asks the kernel-mode driver for its own capabilities while it
// opens the adapter, through the runtime's callback and with the runtime's
// adapter handle.
[[maybe_unused]] HRESULT QueryOwnCaps(const D3DDDI_ADAPTERCALLBACKS* callbacks, HANDLE runtimeAdapter)
{
    if (!callbacks || !callbacks->pfnQueryAdapterInfoCb) return E_INVALIDARG;
    unsigned char caps[16] = {};
    D3DDDICB_QUERYADAPTERINFO query{caps, sizeof caps};
    return callbacks->pfnQueryAdapterInfoCb(runtimeAdapter, &query);
}

// ---------------------------------------------------------------------------
// D3D9

[[maybe_unused]] HRESULT APIENTRY GetCaps9(HANDLE, const D3DDDIARG_GETCAPS*) { return S_OK; }

[[maybe_unused]] HRESULT APIENTRY CloseAdapter9(HANDLE hAdapter)
{
    RecordCall(kCallCloseAdapter9, 0, 0, hAdapter, nullptr, nullptr, nullptr);
    FakeUmd_AdapterDelta(-1);
    return FakeUmd_Config()->closeResult;
}

// ---------------------------------------------------------------------------
// D3D10/11

// The device, its resources and its DXGI functions live in FakeUmdD3d10.cpp
// and FakeUmdDxgi.cpp.

[[maybe_unused]] HRESULT APIENTRY CloseAdapter10(D3D10DDI_HADAPTER hAdapter)
{
    RecordCall(kCallCloseAdapter10, 0, 0, hAdapter.pDrvPrivate, nullptr, nullptr, nullptr);
    FakeUmd_AdapterDelta(-1);
    return FakeUmd_Config()->closeResult;
}

[[maybe_unused]] HRESULT APIENTRY GetSupportedVersions10(D3D10DDI_HADAPTER, UINT32* puEntries, UINT64*)
{
    if (puEntries) *puEntries = 0;
    return S_OK;
}

[[maybe_unused]] HRESULT APIENTRY GetCaps10(D3D10DDI_HADAPTER, const D3D10_2DDIARG_GETCAPS*) { return S_OK; }

[[maybe_unused]] HRESULT OpenAdapter10Any(D3D10DDIARG_OPENADAPTER* args, int kind, bool fiveEntries)
{
    const FakeUmdConfig* config = FakeUmd_Config();
    void* handle = FakeUmd_NewHandle();
    RecordCall(kind, args->Interface, args->Version, args->hRTAdapter.handle, handle, args->pAdapterCallbacks,
               args->pAdapterFuncs);
    if (FAILED(config->openResult)) return config->openResult;
    if (FAILED(QueryOwnCaps(args->pAdapterCallbacks, args->hRTAdapter.handle))) return E_FAIL;
    args->hAdapter.pDrvPrivate = handle;
    D3D10_2DDI_ADAPTERFUNCS* funcs = args->pAdapterFuncs_2;
    funcs->pfnCalcPrivateDeviceSize = &fakeumd10::CalcPrivateDeviceSize;
    funcs->pfnCreateDevice = &fakeumd10::CreateDevice;
    funcs->pfnCloseAdapter = &CloseAdapter10;
    if (fiveEntries) {
        funcs->pfnGetSupportedVersions = &GetSupportedVersions10;
        funcs->pfnGetCaps = &GetCaps10;
    }
    FakeUmd_AdapterDelta(+1);
    return S_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points, present or absent by variant.

#if FAKEUMD_HAS_OPENADAPTER
FAKEUMD_EXPORT HRESULT APIENTRY OpenAdapter(D3DDDIARG_OPENADAPTER* args)
{
    const FakeUmdConfig* config = FakeUmd_Config();
    void* handle = FakeUmd_NewHandle();
    RecordCall(kCallOpenAdapter, args->Interface, args->Version, args->hAdapter, handle, args->pAdapterCallbacks,
               args->pAdapterFuncs);
    if (FAILED(config->openResult)) return config->openResult;
    if (FAILED(QueryOwnCaps(args->pAdapterCallbacks, args->hAdapter))) return E_FAIL;
    args->hAdapter = handle;
    args->DriverVersion = config->driverVersion;
    args->pAdapterFuncs->pfnGetCaps = &GetCaps9;
    args->pAdapterFuncs->pfnCreateDevice = &fakeumd::CreateDevice9;
    args->pAdapterFuncs->pfnCloseAdapter = &CloseAdapter9;
    FakeUmd_AdapterDelta(+1);
    return S_OK;
}
#endif

#if FAKEUMD_HAS_OPENADAPTER10
FAKEUMD_EXPORT HRESULT APIENTRY OpenAdapter10(D3D10DDIARG_OPENADAPTER* args)
{
    return OpenAdapter10Any(args, kCallOpenAdapter10, false);
}
#endif

#if FAKEUMD_HAS_OPENADAPTER10_2
FAKEUMD_EXPORT HRESULT APIENTRY OpenAdapter10_2(D3D10DDIARG_OPENADAPTER* args)
{
    return OpenAdapter10Any(args, kCallOpenAdapter10_2, true);
}
#endif

#if FAKEUMD_HAS_OPENADAPTER12
FAKEUMD_EXPORT HRESULT APIENTRY OpenAdapter12(D3D12DDIARG_OPENADAPTER* args)
{
    const FakeUmdConfig* config = FakeUmd_Config();
    void* handle = FakeUmd_NewHandle();
    RecordCall(kCallOpenAdapter12, 0, 0, args->hRTAdapter.handle, handle, args->pAdapterCallbacks, args->pAdapterFuncs);
    if (FAILED(config->openResult)) return config->openResult;
    if (FAILED(QueryOwnCaps(args->pAdapterCallbacks, args->hRTAdapter.handle))) return E_FAIL;
    args->hAdapter.pDrvPrivate = handle;
    return S_OK;
}
#endif

// Keeps at least one export in the variant without entry points.
FAKEUMD_EXPORT int APIENTRY FakeUmdVariant() { return kVariant; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) FakeUmd_ModuleEvent(kVariant, TRUE);
    else if (reason == DLL_PROCESS_DETACH) FakeUmd_ModuleEvent(kVariant, FALSE);
    return TRUE;
}
