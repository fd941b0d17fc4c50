// D3D10/11 resource creation, opening and destruction with their capture
// steps. Runs on the runtime's threads; see D3d10Resource.h.
#include "D3d10Resource.h"

#include <cstring>

#include "EscapeChannel.h"
#include "SurfaceCapture.h"
#include "SystemSeams.h"

namespace brisel {

namespace {

constexpr UINT kStagingBindFlags = 0xA0;
constexpr UINT kStagingMapFlags = 2;
constexpr UINT kOpenedShadowBindFlags = 0x80;
constexpr UINT kOpenedShadowMapFlags = 1;
// Of a proxy-source primary's BindFlags only this bit reaches the real driver.
constexpr UINT kProxyPrimaryBindMask = 0x8;
// A mapped shadow larger than this is not registered (the size field and the
// 32-bit address space could not describe it).
constexpr unsigned long long kMaxShadowBytes = 0x7FFFFFFFull;

// Room for either creation form; only layout.createResourceBytes of it are
// ever copied from the runtime, the rest stays zero.
union CreateResourceArg {
    D3D10DDIARG_CREATERESOURCE d3d10;
    D3D11DDIARG_CREATERESOURCE d3d11;
    unsigned char bytes[sizeof(D3D11DDIARG_CREATERESOURCE)];
};

void CopyCreateArg(CreateResourceArg& dest, const void* runtimeArg, UINT bytes) noexcept
{
    std::memset(&dest, 0, sizeof dest);
    if (bytes > sizeof dest) bytes = sizeof dest;
    std::memcpy(dest.bytes, runtimeArg, bytes);
}

void CallRealCreate(D3d10DeviceRecord& device, const void* arg, D3D10DDI_HRESOURCE hDrv,
                    D3D10DDI_HRTRESOURCE hRT) noexcept
{
    auto real = device.Real<PFND3D10DDI_CREATERESOURCE>(kD3d10CreateResource);
    if (real)
        real(D3D10DDI_HDEVICE{device.driverDevice}, static_cast<const D3D10DDIARG_CREATERESOURCE*>(arg), hDrv, hRT);
}

// Creates and maps a staging resource from `description`; on success
// *memory is its driver storage and *mapped its CPU view. Any failure leaves
// nothing behind.
bool CreateMappedStaging(D3d10DeviceRecord& device, const CreateResourceArg& description, HANDLE runtimeResource,
                         void** memory, D3D10DDI_MAPPED_SUBRESOURCE* mapped) noexcept
{
    auto calc = device.Real<PFND3D10DDI_CALCPRIVATERESOURCESIZE>(kD3d10CalcPrivateResourceSize);
    auto create = device.Real<PFND3D10DDI_CREATERESOURCE>(kD3d10CreateResource);
    auto map = device.Real<PFND3D10DDI_STAGINGRESOURCEMAP>(kD3d10StagingResourceMap);
    auto destroy = device.Real<PFND3D10DDI_DESTROYRESOURCE>(kD3d10DestroyResource);
    if (!calc || !create || !map) return false;
    const D3D10DDI_HDEVICE hDevice{device.driverDevice};

    SIZE_T size = calc(hDevice, &description.d3d10);
    void* storage = SysHeapAllocZero(size ? size : 1);
    if (!storage) return false;
    create(hDevice, &description.d3d10, D3D10DDI_HRESOURCE{storage}, D3D10DDI_HRTRESOURCE{runtimeResource});
    D3D10DDI_MAPPED_SUBRESOURCE view{};
    map(hDevice, D3D10DDI_HRESOURCE{storage}, 0, kD3d10MapRead, 0, &view);
    if (!view.pData || view.RowPitch == 0) {
        // The driver refused the map (it reports that through pfnSetErrorCb):
        // a shadow without memory would only be copied into for nothing.
        if (destroy) destroy(hDevice, D3D10DDI_HRESOURCE{storage});
        SysHeapFree(storage);
        return false;
    }
    *memory = storage;
    *mapped = view;
    return true;
}

bool ShadowBytes(const D3D10DDI_MAPPED_SUBRESOURCE& mapped, UINT height, UINT* bytes) noexcept
{
    unsigned long long total = 1ull * mapped.RowPitch * height;
    if (total > kMaxShadowBytes) return false;
    *bytes = static_cast<UINT>(total);
    return true;
}

// Registers a mapped shadow and keeps its view, in both creation forms and
// for opened surfaces: the surface's destruction then releases the buffer
// before the shadow is unmapped, so the kernel-mode driver stops reading it
// first.
void RegisterMappedShadow(D3d10DeviceRecord& device, TrackedSurface& surface, D3DKMT_HANDLE allocation, UINT bytes,
                          const D3D10DDI_MAPPED_SUBRESOURCE& mapped) noexcept
{
    surface.bufferAddress = mapped.pData;
    surface.bufferSize = bytes;
    surface.bufferOwned = 0;
    RegisterShadowBuffer(device, surface, allocation, bytes, mapped.RowPitch, mapped.pData);
}

// Release of a surface that is no longer listed: ReleaseShadowBuffer for its
// registered buffer, then its shadow, then the record.
void FinishSurface(D3d10DeviceRecord& device, TrackedSurface* surface) noexcept
{
    if (surface->isOpenedShared && surface->bufferAddress) {
        // An opened surface records no allocation of its own: its buffer was
        // registered for the allocation it was opened with.
        AllocationRecord opened{};
        opened.info.hAllocation = surface->primaryAllocation;
        ReleaseShadowBuffer(device, *surface, opened);
    }
    ReleaseSurfaceAllocations(device, *surface);
    DestroyShadowResource(device, *surface);
    DestroyTrackedSurface(surface);
}

void RetireSurface(D3d10DeviceRecord& device, TrackedSurface* surface) noexcept
{
    if (device.RetireTrackedSurface(surface)) FinishSurface(device, surface);
}

// The runtime hands a resource's storage to a new resource only once the old
// one is gone; a surface still listed under it belongs to a creation or
// opening that failed (the real entries cannot report that) and is released.
void RetireStaleSurface(D3d10DeviceRecord& device, HANDLE driverResource) noexcept
{
    if (TrackedSurface* stale = device.FindTrackedSurface(driverResource)) RetireSurface(device, stale);
}

// Finishing a created surface: allocation info, staging shadow, registration.
void FinishCreatedSurface(D3d10DeviceRecord& device, TrackedSurface& surface, const void* runtimeArg) noexcept
{
    device.MovePendingToSurface(&surface);
    AllocationRecord* first = surface.FirstAllocation();
    if (!first) return;
    const D3DKMT_HANDLE allocation = first->info.hAllocation;
    UINT width = 0, height = 0, format = 0;
    if (!QueryAllocationInfo(device, allocation, &width, &height, &format)) return;
    surface.width = width;
    surface.height = height;
    surface.format = format;
    surface.primaryAllocation = allocation;

    CreateResourceArg description;
    CopyCreateArg(description, runtimeArg, device.layout.createResourceBytes);
    D3D10DDIARG_CREATERESOURCE& d = description.d3d10;
    d.pInitialDataUP = nullptr;
    d.pPrimaryDesc = nullptr;
    d.Usage = kD3d10UsageStaging;
    d.BindFlags = kStagingBindFlags;
    d.MapFlags = kStagingMapFlags;
    if (device.layout.d3d11Form) {
        d.Format = kDxgiFormatB8G8R8A8Unorm;
        d.ResourceDimension = kD3d10ResourceTexture2D;
        d.MiscFlags = 0;
    } else {
        d.Format = kDxgiFormatB8G8R8X8Unorm;
    }

    void* memory = nullptr;
    D3D10DDI_MAPPED_SUBRESOURCE mapped{};
    if (!CreateMappedStaging(device, description, surface.runtimeResource, &memory, &mapped)) return;
    surface.shadowResource = memory;
    UINT bytes = 0;
    if (!ShadowBytes(mapped, surface.height, &bytes)) return;  // shadow kept, never registered
    RegisterMappedShadow(device, surface, allocation, bytes, mapped);
}

void CreateResource(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_CREATERESOURCE* pArgs, D3D10DDI_HRESOURCE hDrvResource,
                    D3D10DDI_HRTRESOURCE hRTResource) noexcept
{
    D3d10DeviceRecord* device = FindD3d10DeviceByDriver(hDevice.pDrvPrivate);
    if (!device) return;
    FinishRetiredSurfaces(*device);
    RetireStaleSurface(*device, hDrvResource.pDrvPrivate);
    if (!pArgs) {
        CallRealCreate(*device, pArgs, hDrvResource, hRTResource);
        return;
    }

    TrackedSurface* surface = nullptr;
    if (pArgs->pPrimaryDesc) {
        surface = NewTrackedSurface();
        if (surface) {
            const DXGI_DDI_PRIMARY_DESC& primary = *pArgs->pPrimaryDesc;
            surface->vidPnSourceId = primary.VidPnSourceId;
            surface->sourceMask = SourceMaskOf(primary.VidPnSourceId);
            surface->width = primary.ModeDesc.Width;
            surface->height = primary.ModeDesc.Height;
            surface->refreshNumerator = primary.ModeDesc.RefreshRate.Numerator;
            surface->refreshDenominator = primary.ModeDesc.RefreshRate.Denominator;
        }
    } else if ((pArgs->BindFlags & kD3d10BindPresentable) && pArgs->pMipInfoList) {
        surface = NewTrackedSurface();
        if (surface) {
            surface->width = pArgs->pMipInfoList[0].TexelWidth;
            surface->height = pArgs->pMipInfoList[0].TexelHeight;
        }
    }
    if (surface) {
        surface->runtimeResource = hRTResource.handle;
        surface->driverResource = hDrvResource.pDrvPrivate;
        BeginSurfaceCapture(*device, surface);
    }
    device->PurgePending();

    const AdapterPrivateData& adapterData = device->adapter->privateData;
    if (surface && pArgs->pPrimaryDesc && adapterData.vendorId == kVendorNvidia) {
        if (surface->vidPnSourceId >= adapterData.firstProxySourceId) {
            // A primary on the virtual display's source is created as an
            // ordinary texture whose single allocation the allocate wrapper
            // marks Primary for that source.
            CreateResourceArg copy;
            CopyCreateArg(copy, pArgs, device->layout.createResourceBytes);
            copy.d3d10.pPrimaryDesc = nullptr;
            copy.d3d10.BindFlags &= kProxyPrimaryBindMask;
            device->forcedSourceId = surface->vidPnSourceId;
            device->forcePrimaryAllocation = 1;
            ProxySourcePrimaryCreate(*device, true);
            CallRealCreate(*device, &copy, hDrvResource, hRTResource);
            device->forcePrimaryAllocation = 0;
            ProxySourcePrimaryCreate(*device, false);
        } else {
            OtherSourcePrimaryCreate(*device, true);
            CallRealCreate(*device, pArgs, hDrvResource, hRTResource);
            OtherSourcePrimaryCreate(*device, false);
        }
    } else {
        CallRealCreate(*device, pArgs, hDrvResource, hRTResource);
    }

    if (surface) FinishCreatedSurface(*device, *surface, pArgs);
}

}  // namespace

void APIENTRY D3d10CreateResourceWrapper(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_CREATERESOURCE* pArgs,
                                         D3D10DDI_HRESOURCE hDrvResource, D3D10DDI_HRTRESOURCE hRTResource)
{
    CreateResource(hDevice, pArgs, hDrvResource, hRTResource);
}

void APIENTRY D3d11CreateResourceWrapper(D3D10DDI_HDEVICE hDevice, const D3D11DDIARG_CREATERESOURCE* pArgs,
                                         D3D10DDI_HRESOURCE hDrvResource, D3D10DDI_HRTRESOURCE hRTResource)
{
    // The 64-byte form begins with the 52-byte one.
    CreateResource(hDevice, reinterpret_cast<const D3D10DDIARG_CREATERESOURCE*>(pArgs), hDrvResource, hRTResource);
}

void APIENTRY D3d10OpenResourceWrapper(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_OPENRESOURCE* pArgs,
                                       D3D10DDI_HRESOURCE hDrvResource, D3D10DDI_HRTRESOURCE hRTResource)
{
    D3d10DeviceRecord* device = FindD3d10DeviceByDriver(hDevice.pDrvPrivate);
    if (!device) return;
    FinishRetiredSurfaces(*device);
    RetireStaleSurface(*device, hDrvResource.pDrvPrivate);
    if (pArgs && pArgs->NumAllocations > 0 && pArgs->pOpenAllocationInfo) {
        const D3DKMT_HANDLE allocation = pArgs->pOpenAllocationInfo[0].hAllocation;
        UINT width = 0, height = 0, format = 0;
        if (QueryAllocationInfo(*device, allocation, &width, &height, &format) && width >= kOpenedMinWidth &&
            height >= kOpenedMinHeight) {
            if (TrackedSurface* surface = NewTrackedSurface()) {
                surface->runtimeResource = hRTResource.handle;
                surface->driverResource = hDrvResource.pDrvPrivate;
                surface->isOpenedShared = 1;
                surface->width = width;
                surface->height = height;
                surface->format = format;
                surface->sourceMask = QueryAllocationSourceMask(*device, allocation);
                surface->primaryAllocation = allocation;
                device->AddTrackedSurface(surface);
            }
        }
    }
    auto real = device->Real<PFND3D10DDI_OPENRESOURCE>(kD3d10OpenResource);
    if (real) real(D3D10DDI_HDEVICE{device->driverDevice}, pArgs, hDrvResource, hRTResource);
}

void DestroyShadowResource(D3d10DeviceRecord& device, TrackedSurface& surface) noexcept
{
    if (!surface.shadowResource) return;
    const D3D10DDI_HDEVICE hDevice{device.driverDevice};
    const D3D10DDI_HRESOURCE shadow{surface.shadowResource};
    if (auto unmap = device.Real<PFND3D10DDI_STAGINGRESOURCEUNMAP>(kD3d10StagingResourceUnmap))
        unmap(hDevice, shadow, 0);
    if (auto destroy = device.Real<PFND3D10DDI_DESTROYRESOURCE>(kD3d10DestroyResource)) destroy(hDevice, shadow);
    SysHeapFree(surface.shadowResource);
    surface.shadowResource = nullptr;
    // Mapped memory is the driver's and went with the resource.
    if (!surface.bufferOwned) surface.bufferAddress = nullptr;
}

void APIENTRY D3d10DestroyResourceWrapper(D3D10DDI_HDEVICE hDevice, D3D10DDI_HRESOURCE hResource)
{
    D3d10DeviceRecord* device = FindD3d10DeviceByDriver(hDevice.pDrvPrivate);
    if (!device) return;
    if (auto real = device->Real<PFND3D10DDI_DESTROYRESOURCE>(kD3d10DestroyResource))
        real(D3D10DDI_HDEVICE{device->driverDevice}, hResource);
    if (TrackedSurface* surface = device->FindTrackedSurface(hResource.pDrvPrivate)) RetireSurface(*device, surface);
    FinishRetiredSurfaces(*device);
}

void DestroyRemainingSurfaces(D3d10DeviceRecord& device) noexcept
{
    for (;;) {
        device.trackedLock.Enter();
        TrackedSurface* surface = device.trackedHead;
        device.trackedLock.Leave();
        if (!surface) break;
        RetireSurface(device, surface);
    }
    // A present callback still copying into one of them holds it: its shadow
    // goes once the copy is over, and before the device does.
    while (device.RetiredSurfacesPinned() != 0) Sleep(1);
    FinishRetiredSurfaces(device);
}

void FinishRetiredSurfaces(D3d10DeviceRecord& device) noexcept
{
    TrackedSurface* surface = device.TakeFinishableSurfaces();
    while (surface) {
        TrackedSurface* next = surface->pNext;
        FinishSurface(device, surface);
        surface = next;
    }
}

CSurfacePin::~CSurfacePin()
{
    if (m_pSurface) m_device.UnpinSurface(m_pSurface);
}

void MakeOpenedSurfaceShadow(D3d10DeviceRecord& device, TrackedSurface& surface) noexcept
{
    if (surface.shadowResource || surface.width == 0 || surface.height == 0) return;
    const D3D10DDI_MIPINFO mip{surface.width, surface.height, 1, surface.width, surface.height, 1};
    CreateResourceArg description;
    std::memset(&description, 0, sizeof description);
    D3D10DDIARG_CREATERESOURCE& d = description.d3d10;
    d.pMipInfoList = &mip;
    d.ResourceDimension = kD3d10ResourceTexture2D;
    d.Usage = kD3d10UsageStaging;
    d.BindFlags = kOpenedShadowBindFlags;
    d.MapFlags = kOpenedShadowMapFlags;
    d.MiscFlags = 0;
    d.Format = kDxgiFormatB8G8R8X8Unorm;
    d.SampleDesc = DXGI_SAMPLE_DESC_DDI{1, 0};
    d.MipLevels = 1;
    d.ArraySize = 1;

    void* memory = nullptr;
    D3D10DDI_MAPPED_SUBRESOURCE mapped{};
    if (!CreateMappedStaging(device, description, nullptr, &memory, &mapped)) return;
    surface.shadowResource = memory;
    UINT bytes = 0;
    if (!ShadowBytes(mapped, surface.height, &bytes)) return;
    RegisterMappedShadow(device, surface, surface.primaryAllocation, bytes, mapped);
}

}  // namespace brisel
