// The fake vendor driver's DXGI functions: Present and Present1 "render" the
// presented surface (FakeUmdConfig::frameSeed) and hand the runtime's
// pDXGIContext back through the runtime's pfnPresentCb from inside the call,
// as a real driver does (or, by FakeUmdConfig::dxgiPresentMode, with a context
// of its own, twice, or not at all); SetDisplayMode and Blt record their
// arguments, Blt copies pixels. Runs on the caller's thread; no lock is held
// while the runtime's callback runs.
#include <cstring>

#include "FakeUmdD3d10.h"
#include "FakeUmdState.h"

namespace fakeumd10 {

namespace {

// The context a driver that presents on its own passes back.
VOID* const kOwnContext = reinterpret_cast<VOID*>(static_cast<ULONG_PTR>(0x0C0FFEE0));

HRESULT APIENTRY PlaceholderDxgi() { return S_OK; }

FakeDevice10* DeviceOf(D3D10DDI_HDEVICE h) { return static_cast<FakeDevice10*>(h.pDrvPrivate); }

HRESULT CallPresentCb(FakeDevice10* device, void* surface, void* dst, VOID* context)
{
    const FakeUmdConfig* config = FakeUmd_Config();
    auto presentCb =
        device->dxgiCallbacks ? DdiTableGet<PFNDDXGIDDI_PRESENTCB>(*device->dxgiCallbacks, kDxgiCbPresent) : nullptr;
    if (!presentCb || config->dxgiPresentMode == kPresentNoCallback) return config->dxgiResult;
    const unsigned calls = config->dxgiPresentMode == kPresentCallsBackTwice ? 2 : 1;
    HRESULT hr = S_OK;
    for (unsigned i = 0; i < calls; ++i) {
        DXGIDDICB_PRESENT cb{};
        cb.hSrcAllocation =
            config->presentSrcAllocation ? config->presentSrcAllocation : FirstAllocationOf(device, surface);
        cb.hDstAllocation = dst ? FirstAllocationOf(device, dst) : 0;
        cb.pDXGIContext = config->dxgiPresentMode == kPresentOwnContext ? kOwnContext : context;
        hr = presentCb(device->runtime.handle, &cb);
        if (hr != S_OK) return hr;  // the runtime's own answer reaches the caller
    }
    if (config->afterPresentCallback) {
        auto after = config->afterPresentCallback;
        FakeUmd_Config()->afterPresentCallback = nullptr;  // once: a nested present does not repeat it
        after(config->afterPresentCallbackContext);
    }
    return config->dxgiResult;
}

HRESULT APIENTRY Present(DXGI_DDI_ARG_PRESENT* args)
{
    FakeDevice10* device = DeviceOf(args->hDevice);
    Record10(kCallDxgiPresent, args->hSurfaceToPresent.pDrvPrivate, args->pDXGIContext, args->Flags, args,
             sizeof *args);
    RenderFrame(device, args->hSurfaceToPresent.pDrvPrivate, FakeUmd_Config()->frameSeed);
    return CallPresentCb(device, args->hSurfaceToPresent.pDrvPrivate, args->hDstResource.pDrvPrivate,
                         args->pDXGIContext);
}

HRESULT APIENTRY Present1(DXGI_DDI_ARG_PRESENT1* args)
{
    FakeDevice10* device = DeviceOf(args->hDevice);
    void* surface = (args->SurfacesToPresent && args->phSurfacesToPresent)
                        ? args->phSurfacesToPresent[0].hSurface.pDrvPrivate
                        : nullptr;
    Record10(kCallDxgiPresent1, surface, args->pDXGIContext, args->Flags, args, sizeof *args);
    RenderFrame(device, surface, FakeUmd_Config()->frameSeed);
    return CallPresentCb(device, surface, args->hDstResource.pDrvPrivate, args->pDXGIContext);
}

HRESULT APIENTRY SetDisplayMode(DXGI_DDI_ARG_SETDISPLAYMODE* args)
{
    Record10(kCallDxgiSetDisplayMode, args->hDevice.pDrvPrivate, args->hResource.pDrvPrivate, 0, args, sizeof *args);
    return FakeUmd_Config()->dxgiResult;
}

HRESULT APIENTRY Blt(DXGI_DDI_ARG_BLT* args)
{
    Record10(kCallDxgiBlt, args->hDstResource.pDrvPrivate, args->hSrcResource.pDrvPrivate, args->Flags, args,
             sizeof *args);
    CopyPixels(DeviceOf(args->hDevice), args->hDstResource.pDrvPrivate, args->hSrcResource.pDrvPrivate, args->DstRight,
               args->DstBottom);
    return FakeUmd_Config()->dxgiResult;
}

}  // namespace

void InstallDxgiFunctions(DXGI_DDI_BASE_FUNCTIONS* table, UINT bytes)
{
    for (UINT i = 0; i * sizeof(DdiProc) < bytes; ++i) DdiRawSet(table, bytes, i, &PlaceholderDxgi);
    DdiRawSet(table, bytes, kDxgiPresent, &Present);
    DdiRawSet(table, bytes, kDxgiSetDisplayMode, &SetDisplayMode);
    DdiRawSet(table, bytes, kDxgiBlt, &Blt);
    DdiRawSet(table, bytes, kDxgiPresent1, &Present1);
}

}  // namespace fakeumd10
