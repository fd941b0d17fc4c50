// DXGI Present / Present1 wrappers, the PresentContextNode registry and the
// present-callback wrapper with the frame copy. See DxgiPresent.h for threads.
#include "DxgiPresent.h"

#include <new>

#include "D3d10Resource.h"
#include "EscapeChannel.h"
#include "SystemSeams.h"

namespace brisel {

namespace {

// Copies with pfnResourceCopy from this Interface on, with DXGI pfnBlt below.
constexpr UINT kResourceCopyFrom = 0xB0020;
constexpr UINT kBltFlagsPresent = 2;
constexpr UINT kBltRotateIdentity = 1;

// Owned by the Present wrapper that registered it, until its real Present
// returns: its address cannot be reused by another present meanwhile.
struct PresentContextEntry {
    PresentContextEntry* pNext;
    PresentContextEntry* pPrev;
    PresentContextNode node;  // what the driver sees as pDXGIContext
    bool handedBack;  // the present callback has used it
};

// Registry: a circular list with a sentinel, oldest first.
PresentContextEntry s_sentinel{&s_sentinel, &s_sentinel, {}, true};
CLock s_registryLock;
unsigned s_out;

void UnlinkLocked(PresentContextEntry* e) noexcept
{
    e->pPrev->pNext = e->pNext;
    e->pNext->pPrev = e->pPrev;
    e->pNext = e->pPrev = e;
    --s_out;
}

// Registers an entry; nullptr when no memory (the present then goes on
// without capture).
PresentContextEntry* NewPresentContext(const PresentContextNode& node) noexcept
{
    if (!SysMayAllocateRecord()) return nullptr;
    auto* entry = new (std::nothrow) PresentContextEntry{nullptr, nullptr, node, false};
    if (!entry) return nullptr;
    CLockGuard guard(s_registryLock);
    entry->pPrev = s_sentinel.pPrev;
    entry->pNext = &s_sentinel;
    s_sentinel.pPrev->pNext = entry;
    s_sentinel.pPrev = entry;
    ++s_out;
    return entry;
}

void DeletePresentContext(PresentContextEntry* entry) noexcept
{
    {
        CLockGuard guard(s_registryLock);
        UnlinkLocked(entry);
    }
    delete entry;
}

// The present callback's side: when `context` is the node of a registered
// entry not handed back yet, marks it handed back and copies the node out.
// Any other context (the driver's own, one handed back twice) is never
// dereferenced.
bool TakePresentContext(const VOID* context, PresentContextNode* node) noexcept
{
    if (!context) return false;
    CLockGuard guard(s_registryLock);
    for (PresentContextEntry* e = s_sentinel.pNext; e != &s_sentinel; e = e->pNext) {
        if (&e->node != context || e->handedBack) continue;
        e->handedBack = true;
        *node = e->node;
        return true;
    }
    return false;
}

// The driver hands pDXGIContext back through pfnPresentCb during its Present,
// once; the entry is freed when the Present returns, whether it came back
// or not (a failed or dropped present), so entries neither pile up nor stop
// the capture.
template <class Args>
HRESULT PresentThroughNode(D3d10DeviceRecord* device, Args* pArgs, HANDLE surface, HRESULT(APIENTRY* real)(Args*))
{
    PresentContextNode node{pArgs->pDXGIContext, surface, pArgs->hDstResource.pDrvPrivate, pArgs->Flags,
                            device->FindTrackedSurface(surface)};
    PresentContextEntry* entry = NewPresentContext(node);
    HRESULT hr;
    if (entry) {
        pArgs->pDXGIContext = &entry->node;
        hr = real(pArgs);
        // The runtime's argument gets its own context back.
        pArgs->pDXGIContext = node.prevContext;
        DeletePresentContext(entry);
    } else {
        hr = real(pArgs);
    }
    // A resource destroyed while this present copied from it is released
    // here, on the runtime's thread.
    FinishRetiredSurfaces(*device);
    return hr;
}

void Flush(D3d10DeviceRecord& device) noexcept
{
    const D3D10DDI_HDEVICE hDevice{device.driverDevice};
    if (device.interfaceVersion < kD3d11FlushTakesFlagsFrom) {
        if (auto flush = device.Real<PFND3D10DDI_FLUSH>(kD3d10Flush)) flush(hDevice);
    } else {
        if (auto flush = device.Real<PFND3D11_1DDI_FLUSH>(kD3d10Flush)) flush(hDevice, 0);
    }
}

void CopyToShadow(D3d10DeviceRecord& device, const TrackedSurface& target, HANDLE surface) noexcept
{
    const D3D10DDI_HDEVICE hDevice{device.driverDevice};
    if (device.interfaceVersion >= kResourceCopyFrom) {
        if (auto copy = device.Real<PFND3D10DDI_RESOURCECOPY>(kD3d10ResourceCopy))
            copy(hDevice, D3D10DDI_HRESOURCE{target.shadowResource}, D3D10DDI_HRESOURCE{surface});
        return;
    }
    auto blt = device.RealDxgi<PFNDXGIDDI_BLT>(kDxgiBlt);
    if (!blt) return;
    DXGI_DDI_ARG_BLT args{};
    args.hDevice = hDevice;
    args.hDstResource = D3D10DDI_HRESOURCE{target.shadowResource};
    args.DstSubresource = 0;
    args.DstLeft = 0;
    args.DstTop = 0;
    args.DstRight = target.width;
    args.DstBottom = target.height;
    args.hSrcResource = D3D10DDI_HRESOURCE{surface};
    args.SrcSubresource = 0;
    args.Flags = kBltFlagsPresent;
    args.Rotate = kBltRotateIdentity;
    blt(&args);
}

bool IsNvidia(const D3d10DeviceRecord& device) noexcept
{
    return device.adapter->privateData.vendorId == kVendorNvidia;
}

// The surfaces are pinned while they are used: the runtime may destroy their
// resources on its own thread meanwhile.
void CopyFrame(D3d10DeviceRecord& device, const PresentContextNode& node, const DXGIDDICB_PRESENT& cb) noexcept
{
    const UINT activeMask = QueryActiveSourceMask(device);
    if (node.flags & kDxgiPresentFlip) {
        TrackedSurface* found = device.PinSurfaceByAllocation(cb.hSrcAllocation);
        const bool byAllocation = found != nullptr;
        if (!byAllocation) found = device.PinTrackedSurface(node.surface);
        CSurfacePin pin(device, found);
        TrackedSurface* target = pin.Get();
        if (!target) return;
        CLockGuard copying(target->copyLock);
        if (!byAllocation) {
            if (!target->isOpenedShared) return;
            if (!target->shadowResource) MakeOpenedSurfaceShadow(device, *target);
        }
        if (!target->shadowResource) return;
        if (device.adapter->privateData.fallbackMode)
            target->sourceMask = QueryAllocationSourceMask(device, target->primaryAllocation);
        if ((target->sourceMask & activeMask) == 0) return;
        CopyToShadow(device, *target, node.surface);
        Flush(device);
        if (IsNvidia(device) && (node.flags & kDxgiPresentBlt)) BltPresentDone(device, target->primaryAllocation);
    } else if ((node.flags & kDxgiPresentBlt) && node.dstResource == nullptr) {
        CSurfacePin pin(device, device.PinTrackedSurface(node.surface));
        TrackedSurface* target = pin.Get();
        if (!target) return;
        CLockGuard copying(target->copyLock);
        if (!target->shadowResource) return;
        CopyToShadow(device, *target, node.surface);
        if (IsNvidia(device)) BltPresentDone(device, target->primaryAllocation);
    }
}

}  // namespace

HRESULT APIENTRY DxgiPresentWrapper(DXGI_DDI_ARG_PRESENT* pArgs)
{
    if (!pArgs) return E_INVALIDARG;
    const auto [device, real] = FindDxgiForward<PFNDXGIDDI_PRESENT>(pArgs->hDevice.pDrvPrivate, kDxgiPresent);
    if (!real) return E_INVALIDARG;
    return PresentThroughNode(device, pArgs, pArgs->hSurfaceToPresent.pDrvPrivate, real);
}

HRESULT APIENTRY DxgiPresent1Wrapper(DXGI_DDI_ARG_PRESENT1* pArgs)
{
    if (!pArgs) return E_INVALIDARG;
    const auto [device, real] = FindDxgiForward<PFNDXGIDDI_PRESENT1>(pArgs->hDevice.pDrvPrivate, kDxgiPresent1);
    if (!real) return E_INVALIDARG;
    if (!pArgs->phSurfacesToPresent || pArgs->SurfacesToPresent == 0) return real(pArgs);
    return PresentThroughNode(device, pArgs, pArgs->phSurfacesToPresent[0].hSurface.pDrvPrivate, real);
}

HRESULT APIENTRY DxgiPresentCbWrapper(HANDLE hDevice, DXGIDDICB_PRESENT* pArgs)
{
    D3d10DeviceRecord* device = FindD3d10DeviceByRuntime(hDevice);
    PresentContextNode node{};
    const bool ours = pArgs && TakePresentContext(pArgs->pDXGIContext, &node);
    if (!device) {
        // Nothing known to forward to; a node of ours still goes home.
        if (ours) pArgs->pDXGIContext = node.prevContext;
        return E_INVALIDARG;
    }
    PFNDDXGIDDI_PRESENTCB runtimePresentCb = device->runtimePresentCb;
    bool forward = runtimePresentCb != nullptr && runtimePresentCb != &DxgiPresentCbWrapper;

    if (ours) {
        // The surface is looked up again: the one seen at the present may
        // have been destroyed since.
        if (node.tracked && IsNvidia(*device) && (node.flags & kDxgiPresentBlt)) {
            CSurfacePin pin(*device, device->PinTrackedSurface(node.surface));
            if (pin.Get() && pin.Get()->vidPnSourceId >= device->adapter->privateData.firstProxySourceId)
                forward = false;
        }
        CopyFrame(*device, node, *pArgs);
        pArgs->pDXGIContext = node.prevContext;
    }
    // A context that is not a node of ours (a driver presenting on its own,
    // or one handed back twice) passes through untouched.
    if (!forward) return runtimePresentCb ? S_OK : E_INVALIDARG;
    return runtimePresentCb(device->runtimeDevice, pArgs);
}

unsigned PresentContextsOut() noexcept
{
    CLockGuard guard(s_registryLock);
    return s_out;
}

}  // namespace brisel
