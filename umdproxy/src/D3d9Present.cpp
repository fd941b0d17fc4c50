// D3D9 presentation, display-mode and DirectFlip wrappers. Runs on the
// runtime's threads; see D3d9Present.h.
#include "D3d9Present.h"

#include "EscapeChannel.h"

namespace brisel {

namespace {

// What a copy needs of a tracked surface, read under the tracked lock.
struct CopyTarget {
    HANDLE shadowResource;
    UINT width;
    UINT height;
    UINT sourceMask;
};

bool FindCopyTarget(DeviceRecord& device, HANDLE driverResource, CopyTarget* target) noexcept
{
    if (!driverResource) return false;  // a surface still being created has no handle yet
    CLockGuard guard(device.trackedLock);
    for (TrackedSurface* s = device.trackedHead; s; s = s->pNext) {
        if (s->driverResource != driverResource) continue;
        *target = {s->shadowResource, s->width, s->height, s->sourceMask};
        return true;
    }
    return false;
}

// Copies the presented source into the tracked surface's shadow when the
// present's kind asks for it. `flipNeedsOverlap`: Present1 copies a flip
// only when the active sources include the surface's own; Present whenever
// both masks are nonzero.
void CopyPresented(D3d9DeviceRecord& device, HANDLE source, UINT presentFlags, bool flipNeedsOverlap) noexcept
{
    CopyTarget target{};
    if (!FindCopyTarget(device, source, &target)) return;
    bool copy;
    if (presentFlags & kD3d9PresentFlip) {
        const UINT active = QueryActiveSourceMask(device);
        copy = flipNeedsOverlap ? (active & target.sourceMask) != 0 : (active != 0 && target.sourceMask != 0);
    } else {
        copy = (presentFlags & kD3d9PresentBlt) != 0;
    }
    // Without a shadow there is nothing to copy into, whatever the kind.
    if (!copy || !target.shadowResource) return;
    auto blt = device.Real<PFND3DDDI_BLT>(kD3d9Blt);
    if (!blt) return;

    D3DDDIARG_BLT args{};
    args.hSrcResource = source;
    args.SrcSubResourceIndex = 0;
    args.SrcRect = {0, 0, static_cast<LONG>(target.width), static_cast<LONG>(target.height)};
    args.hDstResource = target.shadowResource;
    args.DstSubResourceIndex = 0;
    args.DstRect = args.SrcRect;
    args.Flags = 0;
    args.ColorKey = 0;
    blt(device.driverDevice, &args);  // a failed copy only loses this frame
}

}  // namespace

HRESULT APIENTRY D3d9PresentWrapper(HANDLE hDevice, const D3DDDIARG_PRESENT* pArgs)
{
    const auto [device, realPresent] = FindD3d9Forward<PFND3DDDI_PRESENT>(hDevice, kD3d9Present);
    if (!realPresent) return E_INVALIDARG;
    if (pArgs) CopyPresented(*device, pArgs->hSrcResource, pArgs->Flags, false);
    return realPresent(device->driverDevice, pArgs);
}

HRESULT APIENTRY D3d9Present1Wrapper(HANDLE hDevice, const D3DDDIARG_PRESENT1* pArgs)
{
    const auto [device, realPresent1] = FindD3d9Forward<PFND3DDDI_PRESENT1>(hDevice, kD3d9Present1);
    if (!realPresent1) return E_INVALIDARG;
    if (pArgs && pArgs->phSrcResources && pArgs->SrcResources > 0)
        CopyPresented(*device, pArgs->phSrcResources[0].hSurface, pArgs->Flags, true);
    return realPresent1(device->driverDevice, pArgs);
}

HRESULT APIENTRY D3d9SetDisplayModeWrapper(HANDLE hDevice, const D3DDDIARG_SETDISPLAYMODE* pArgs)
{
    const auto [device, realSetMode] = FindD3d9Forward<PFND3DDDI_SETDISPLAYMODE>(hDevice, kD3d9SetDisplayMode);
    if (!realSetMode) return E_INVALIDARG;
    TrackedSurface* surface = (pArgs && pArgs->hResource) ? device->FindTrackedSurface(pArgs->hResource) : nullptr;
    if (!surface) return realSetMode(device->driverDevice, pArgs);

    // D3D9 mode changes always name source 0; the answer to Begin travels
    // back to the driver in End.
    EscapePacket packet = MakeEscapePacket(kEscSetDisplayModeBegin);
    SetDisplayModeBegin(*device, *surface, 0, packet);
    const HRESULT hr = realSetMode(device->driverDevice, pArgs);
    SetDisplayModeEnd(*device, packet);
    return hr;
}

HRESULT APIENTRY D3d9CheckDirectFlipSupportWrapper(HANDLE hDevice, D3DDDIARG_CHECKDIRECTFLIPSUPPORT* pArgs)
{
    const auto [device, realCheck] =
        FindD3d9Forward<PFND3DDDI_CHECKDIRECTFLIPSUPPORT>(hDevice, kD3d9CheckDirectFlipSupport);
    if (!realCheck) return E_INVALIDARG;
    const HRESULT hr = realCheck(device->driverDevice, pArgs);
    if (pArgs && pArgs->Supported) pArgs->Supported = FALSE;
    return hr;
}

}  // namespace brisel
