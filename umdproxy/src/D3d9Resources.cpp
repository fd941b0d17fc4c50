// D3D9 resource creation, opening and destruction with surface capture.
// Runs on the runtime's threads; see D3d9Resources.h for the locks.
#include "D3d9Resources.h"

#include <atomic>
#include <cstdio>

#include "EscapeChannel.h"
#include "SurfaceCapture.h"
#include "SystemSeams.h"

namespace brisel {

namespace {

// The debugger line of an opened fullscreen surface is formatted into a
// buffer of this size.
constexpr std::size_t kDebugTextChars = 4096;

// The compositor's multimedia scheduling is switched on by the first video
// render target of an adapter, whichever device creates it; the flag never
// returns to 0.
void EnableMmcssOnce(AdapterRecord& adapter) noexcept
{
    if (std::atomic_ref<BYTE>(adapter.mmcssEnabled).exchange(1) == 0) SysDwmEnableMmcss(TRUE);
}

// Moves the allocations the real creation recorded to the surface and, when
// the surface has its buffer, registers that buffer for each of them. The
// escapes are sent under the pending lock so that no allocation can be freed
// (pfnDeallocate2Cb) between its move and its registration.
void AttachAllocations(DeviceRecord& device, TrackedSurface& surface, bool withBuffer) noexcept
{
    device.EndCapture();
    CLockGuard guard(device.pendingLock);
    while (AllocationRecord* record = device.pendingAllocations.PopFront()) {
        surface.AddAllocation(record);
        if (withBuffer) RegisterShadowBuffer(device, surface, record->info.hAllocation, surface.width * 4);
    }
}

template <class Args>
using RealCreateFn = HRESULT(APIENTRY*)(HANDLE, Args*);

// The shadow surface of a created resource: one system-memory surface over
// the shadow buffer, made with the entry the runtime called. Everything the
// shadow does not override stays as the application asked.
template <class Args>
void CreateShadowOfCreated(D3d9DeviceRecord& device, TrackedSurface& surface, const Args& appArgs,
                           RealCreateFn<Args> realCreate, bool create2) noexcept
{
    D3DDDI_SURFACEINFO info = appArgs.pSurfList[0];
    info.pSysMem = surface.bufferAddress;
    info.SysMemPitch = surface.width * 4;
    Args shadow = appArgs;
    shadow.hResource = nullptr;
    shadow.pSurfList = &info;
    shadow.SurfCount = 1;
    shadow.MipLevels = 1;
    shadow.Pool = kD3d9PoolSystemMem;
    shadow.Rotation = kD3d9RotationIdentity;
    shadow.Flags = create2 ? (appArgs.Flags | kD3d9ResRenderTarget | kD3d9ResCpuOptimized) : kD3d9ResRenderTarget;
    if (SUCCEEDED(realCreate(device.driverDevice, &shadow))) surface.shadowResource = shadow.hResource;
}

template <class Args>
HRESULT CreateResourceCommon(HANDLE hDevice, Args* pArgs, unsigned entry, bool create2)
{
    const auto [device, realCreate] = FindD3d9Forward<RealCreateFn<Args>>(hDevice, entry);
    if (!realCreate) return E_INVALIDARG;
    // Without an argument or a surface list there is nothing to look at: the
    // real driver answers such a call itself.
    if (!pArgs || !pArgs->pSurfList || pArgs->SurfCount == 0) return realCreate(device->driverDevice, pArgs);

    AdapterRecord& adapter = *device->adapter;
    const UINT flags = pArgs->Flags;
    if ((flags & kD3d9VideoRenderTarget) == kD3d9VideoRenderTarget) EnableMmcssOnce(adapter);

    TrackedSurface* surface = nullptr;
    const D3DDDI_SURFACEINFO& first = pArgs->pSurfList[0];
    if (IsD3d9TrackedCreation(flags, first.Width, first.Height, adapter.isDwm != 0)) {
        surface = NewTrackedSurface();  // none: the resource stays untracked
        if (surface) {
            surface->runtimeResource = pArgs->hResource;
            surface->vidPnSourceId = pArgs->VidPnSourceId;
            surface->sourceMask = SourceMaskOf(pArgs->VidPnSourceId);
            surface->width = first.Width;
            surface->height = first.Height;
            surface->format = pArgs->Format;
            surface->refreshNumerator = pArgs->RefreshRate.Numerator;
            surface->refreshDenominator = pArgs->RefreshRate.Denominator;
            BeginSurfaceCapture(*device, surface);
        }
    }
    device->PurgePending();

    // A primary that must match the GDI primary on a source the kernel-mode
    // driver serves would be refused a mode of its own.
    if (surface && (flags & kD3d9PrimaryMatchingGdi) == kD3d9PrimaryMatchingGdi &&
        (QueryActiveSourceMask(*device) & surface->sourceMask) != 0) {
        pArgs->Flags &= ~kD3d9ResMatchGdiPrimary;
    }

    const HRESULT hr = realCreate(device->driverDevice, pArgs);
    if (!surface) return hr;
    if (FAILED(hr)) {
        // Whatever the failed creation allocated is not this surface's, and
        // later allocations belong to no tracked creation.
        device->EndCapture();
        device->PurgePending();
        DropTrackedSurface(*device, surface);
        return hr;
    }

    surface->driverResource = pArgs->hResource;
    const bool hasBuffer = surface->EnsureBuffer();
    AttachAllocations(*device, *surface, hasBuffer);
    if (AllocationRecord* primary = surface->FirstAllocation()) surface->primaryAllocation = primary->info.hAllocation;
    if (!hasBuffer || !surface->primaryAllocation) return hr;

    CreateShadowOfCreated(*device, *surface, *pArgs, realCreate, create2);
    return hr;
}

// One creation form of the shadow surface (both forms share these
// members); the driver's handle, or null when it refused.
template <class Args, class Create>
HANDLE CreateShadowResource(Create create, const D3d9DeviceRecord& device, const D3DDDI_SURFACEINFO& info) noexcept
{
    Args args{};
    args.Format = kD3d9FormatX8R8G8B8;
    args.Pool = kD3d9PoolSystemMem;
    args.pSurfList = &info;
    args.SurfCount = 1;
    args.Flags = kD3d9ResRenderTarget;
    args.Rotation = kD3d9RotationIdentity;
    return SUCCEEDED(create(device.driverDevice, &args)) ? args.hResource : nullptr;
}

// The shadow surface of an opened resource: an X8R8G8B8 system-memory
// surface over the buffer, everything else zero.
void CreateShadowOfOpened(D3d9DeviceRecord& device, TrackedSurface& surface) noexcept
{
    D3DDDI_SURFACEINFO info{};
    info.Width = surface.width;
    info.Height = surface.height;
    info.pSysMem = surface.bufferAddress;
    info.SysMemPitch = surface.width * 4;

    if (device.createArgs.Version >= 0x3004) {
        if (auto create2 = device.Real<PFND3DDDI_CREATERESOURCE2>(kD3d9CreateResource2))
            surface.shadowResource = CreateShadowResource<D3DDDIARG_CREATERESOURCE2>(create2, device, info);
        return;
    }
    if (auto create = device.Real<PFND3DDDI_CREATERESOURCE>(kD3d9CreateResource))
        surface.shadowResource = CreateShadowResource<D3DDDIARG_CREATERESOURCE>(create, device, info);
}

}  // namespace

bool IsD3d9TrackedCreation(UINT flags, UINT width, UINT height, bool isDwm) noexcept
{
    const bool presented =
        ((flags & kD3d9PrimaryRenderTarget) == kD3d9PrimaryRenderTarget && !(flags & kD3d9ResDiscardRenderTarget)) ||
        (flags & kD3d9VideoRenderTarget) == kD3d9VideoRenderTarget ||
        (flags & kD3d9NotLockableRenderTarget) == kD3d9NotLockableRenderTarget ||
        ((flags & kD3d9SharedRenderTarget) == kD3d9SharedRenderTarget && !isDwm);
    return presented && width > kD3d9MinTrackedSide && height > kD3d9MinTrackedSide;
}

HRESULT APIENTRY D3d9CreateResourceWrapper(HANDLE hDevice, D3DDDIARG_CREATERESOURCE* pArgs)
{
    return CreateResourceCommon(hDevice, pArgs, kD3d9CreateResource, false);
}

HRESULT APIENTRY D3d9CreateResource2Wrapper(HANDLE hDevice, D3DDDIARG_CREATERESOURCE2* pArgs)
{
    return CreateResourceCommon(hDevice, pArgs, kD3d9CreateResource2, true);
}

HRESULT APIENTRY D3d9OpenResourceWrapper(HANDLE hDevice, D3DDDIARG_OPENRESOURCE* pArgs)
{
    const auto [device, realOpen] = FindD3d9Forward<PFND3DDDI_OPENRESOURCE>(hDevice, kD3d9OpenResource);
    if (!realOpen) return E_INVALIDARG;
    const HRESULT hr = realOpen(device->driverDevice, pArgs);
    if (FAILED(hr) || !pArgs || !(pArgs->Flags & kD3d9OpenFullscreen)) return hr;
    // A fullscreen open without an allocation names nothing to capture.
    if (pArgs->NumAllocations == 0 || !pArgs->pOpenAllocationInfo) return hr;

    TrackedSurface* surface = NewTrackedSurface();
    if (!surface) return hr;
    const D3DKMT_HANDLE allocation = pArgs->pOpenAllocationInfo[0].hAllocation;
    UINT width = 0, height = 0, format = 0;
    QueryAllocationInfo(*device, allocation, &width, &height, &format);  // failure: 0 × 0, no buffer below

    char text[kDebugTextChars];
    std::snprintf(text, sizeof text, "PztOpenResource (%d,%d)\n", static_cast<int>(width), static_cast<int>(height));
    SysOutputDebugString(text);

    surface->runtimeResource = nullptr;
    surface->driverResource = pArgs->hResource;
    surface->width = width;
    surface->height = height;
    surface->format = format;
    surface->primaryAllocation = allocation;
    surface->sourceMask = QueryAllocationSourceMask(*device, allocation);

    // The surface keeps a record of the allocation it registers, so that its
    // destruction tells the kernel-mode driver to stop reading the buffer.
    AllocationRecord* record = NewAllocationRecord();
    if (!record) {
        DestroyTrackedSurface(surface);
        return hr;
    }
    record->kmResource = pArgs->hKMResource;
    record->info.hAllocation = allocation;
    surface->AddAllocation(record);

    if (!surface->EnsureBuffer() || FAILED(RegisterShadowBuffer(*device, *surface, allocation, 0))) {
        DestroyTrackedSurface(surface);
        return hr;
    }
    CreateShadowOfOpened(*device, *surface);
    device->AddTrackedSurface(surface);
    return hr;
}

HRESULT APIENTRY D3d9DestroyResourceWrapper(HANDLE hDevice, HANDLE hResource)
{
    const auto [device, realDestroy] = FindD3d9Forward<PFND3DDDI_DESTROYRESOURCE>(hDevice, kD3d9DestroyResource);
    if (!realDestroy) return E_INVALIDARG;
    if (TrackedSurface* surface = hResource ? device->FindTrackedSurface(hResource) : nullptr) {
        ReleaseSurfaceAllocations(*device, *surface);
        if (surface->shadowResource) realDestroy(device->driverDevice, surface->shadowResource);
        DropTrackedSurface(*device, surface);
    }
    return realDestroy(device->driverDevice, hResource);
}

}  // namespace brisel
