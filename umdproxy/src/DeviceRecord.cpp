// DeviceRecord common part: device list, tracked surfaces, pending
// allocations, callback copies. Runs on the runtime's and the driver's
// threads; see DeviceRecord.h for the locks and their order.
#include "DeviceRecord.h"

#include <cstring>

namespace brisel {

DeviceRecord::DeviceRecord() noexcept
{
    ListLinkSelf(&links);
    links.pRecord = this;
    runtimeCallbacks = &pristineCallbacks;
}

DeviceRecord::~DeviceRecord()
{
    PurgePending();
    trackedLock.Enter();
    TrackedSurface* surface = trackedHead;
    trackedHead = trackedTail = nullptr;
    trackedLock.Leave();
    TrackedSurface* lists[] = {surface, TakeFinishableSurfaces()};
    for (TrackedSurface* list : lists) {
        while (list) {
            TrackedSurface* next = list->pNext;
            DestroyTrackedSurface(list);
            list = next;
        }
    }
}

void DeviceRecord::AddTrackedSurface(TrackedSurface* surface) noexcept
{
    CLockGuard guard(trackedLock);
    surface->pNext = nullptr;
    if (trackedTail) trackedTail->pNext = surface;
    else trackedHead = surface;
    trackedTail = surface;
}

TrackedSurface* DeviceRecord::FindTrackedSurface(HANDLE driverResource) noexcept
{
    CLockGuard guard(trackedLock);
    for (TrackedSurface* s = trackedHead; s; s = s->pNext) {
        if (s->driverResource == driverResource) return s;
    }
    return nullptr;
}

bool DeviceRecord::RemoveTrackedSurface(TrackedSurface* surface) noexcept
{
    CLockGuard guard(trackedLock);
    TrackedSurface* prev = nullptr;
    for (TrackedSurface* s = trackedHead; s; prev = s, s = s->pNext) {
        if (s != surface) continue;
        if (prev) prev->pNext = s->pNext;
        else trackedHead = s->pNext;
        if (trackedTail == s) trackedTail = prev;
        s->pNext = nullptr;
        return true;
    }
    return false;
}

TrackedSurface* DeviceRecord::PinTrackedSurface(HANDLE driverResource) noexcept
{
    CLockGuard guard(trackedLock);
    for (TrackedSurface* s = trackedHead; s; s = s->pNext) {
        if (s->driverResource != driverResource) continue;
        ++s->pins;
        return s;
    }
    return nullptr;
}

TrackedSurface* DeviceRecord::PinSurfaceByAllocation(D3DKMT_HANDLE allocation) noexcept
{
    CLockGuard guard(trackedLock);
    for (TrackedSurface* s = trackedHead; s; s = s->pNext) {
        if (!s->HasAllocation(allocation)) continue;
        ++s->pins;
        return s;
    }
    return nullptr;
}

void DeviceRecord::UnpinSurface(TrackedSurface* surface) noexcept
{
    CLockGuard guard(trackedLock);
    if (--surface->pins != 0 || !surface->retired) return;
    --retiredPinned;
    surface->pNext = finishable;
    finishable = surface;
}

bool DeviceRecord::RetireTrackedSurface(TrackedSurface* surface) noexcept
{
    CLockGuard guard(trackedLock);  // a critical section: RemoveTrackedSurface may take it again
    if (!RemoveTrackedSurface(surface)) return false;
    if (surface->pins == 0) return true;
    surface->retired = 1;
    ++retiredPinned;
    return false;
}

UINT DeviceRecord::RetiredSurfacesPinned() noexcept
{
    CLockGuard guard(trackedLock);
    return retiredPinned;
}

TrackedSurface* DeviceRecord::TakeFinishableSurfaces() noexcept
{
    CLockGuard guard(trackedLock);
    TrackedSurface* list = finishable;
    finishable = nullptr;
    return list;
}

void DeviceRecord::BeginCapture(HANDLE runtimeResource) noexcept
{
    capturingThread = GetCurrentThreadId();
    capturingResource = runtimeResource;
    InterlockedIncrement(&trackedCreations);
    capturingAllocations = 1;
}

void DeviceRecord::EndCapture() noexcept
{
    capturingAllocations = 0;
    capturingThread = 0;
    capturingResource = nullptr;
    for (LONG n = trackedCreations; n > 0; n = trackedCreations) {
        if (InterlockedCompareExchange(&trackedCreations, n - 1, n) == n) break;
    }
}

// A driver may allocate a resource's memory on a thread other than the one
// inside its CreateResource: Microsoft's documentation of
// pfnSetAsyncCallbacksCb lets a D3D9 driver call the runtime's callbacks from
// one worker thread per device, and its description of the free-threaded
// D3D11 callbacks calls a device's non-shared allocations fully
// free-threaded (only a shared resource's must come on the creating thread,
// during the call). The documentation of D3DDDICB_ALLOCATE has the driver
// pass the resource's runtime handle as hResource, or null for allocations
// of the device itself.
bool DeviceRecord::IsCreationAllocation(const D3DDDICB_ALLOCATE& args) const noexcept
{
    if (capturingThread == GetCurrentThreadId()) return true;
    return args.hResource != nullptr && trackedCreations == 1 && args.hResource == capturingResource;
}

void DeviceRecord::PurgePending() noexcept
{
    CLockGuard guard(pendingLock);
    pendingAllocations.DeleteAll();
}

void DeviceRecord::MovePendingToSurface(TrackedSurface* surface) noexcept
{
    EndCapture();
    CLockGuard guard(pendingLock);
    CLockGuard surfaceGuard(surface->mutex);
    pendingAllocations.MoveAllTo(surface->allocations);
}

unsigned DeviceRecord::PendingCount() noexcept
{
    CLockGuard guard(pendingLock);
    return pendingAllocations.Count();
}

// ---------------------------------------------------------------------------
// Device list.

void InsertDevice(DeviceRecord* device) noexcept { DeviceList().InsertTail(&device->links); }
void UnlinkDevice(DeviceRecord* device) noexcept { DeviceList().Unlink(&device->links); }

DeviceRecord* FindDeviceByDriver(HANDLE driverDevice) noexcept
{
    ListLinks* found = DeviceList().Find([driverDevice](ListLinks* p) {
        DeviceRecord* d = static_cast<DeviceLinks*>(p)->pRecord;
        return d->isCreated && d->driverDevice == driverDevice;
    });
    return found ? static_cast<DeviceLinks*>(found)->pRecord : nullptr;
}

DeviceRecord* FindDeviceByRuntime(HANDLE runtimeDevice) noexcept
{
    ListLinks* found = DeviceList().Find([runtimeDevice](ListLinks* p) {
        return static_cast<DeviceLinks*>(p)->pRecord->runtimeDevice == runtimeDevice;
    });
    return found ? static_cast<DeviceLinks*>(found)->pRecord : nullptr;
}

void DestroyDeviceRecord(DeviceRecord* device) noexcept
{
    if (!device) return;
    UnlinkDevice(device);
    delete device;
}

// ---------------------------------------------------------------------------
// Callback copies and wrappers.

const D3DDDI_DEVICECALLBACKS* CopyDeviceCallbacks(DeviceRecord* device, const D3DDDI_DEVICECALLBACKS* runtime,
                                                  UINT umdVersion, bool wrap) noexcept
{
    // Never more than the runtime's structure of that version: a shorter
    // table may end where the runtime's memory does.
    const UINT bytes = DeviceCallbackEntriesForUmdVersion(umdVersion) * sizeof(DdiProc);
    static_assert(sizeof(D3DDDI_DEVICECALLBACKS) >= kDeviceCallbackCount * sizeof(DdiProc));
    std::memset(&device->pristineCallbacks, 0, sizeof device->pristineCallbacks);
    std::memcpy(&device->pristineCallbacks, runtime, bytes);
    device->wrappedCallbacks = device->pristineCallbacks;
    device->callbacksBytes = bytes;
    device->allocationInfo2 = AllocationInfo2ForUmdVersion(umdVersion);

    StoreEscapeCb(device->adapter, DdiRawGet<PFND3DDDI_ESCAPECB>(&device->pristineCallbacks, bytes, kCbEscape));
    if (!wrap) return runtime;

    // A wrapper is only installed where the runtime provides the entry: a
    // wrapper over an empty entry would have nothing to call.
    auto& pristine = device->pristineCallbacks;
    auto& wrapped = device->wrappedCallbacks;
    if (DdiRawGet<PFND3DDDI_ALLOCATECB>(&pristine, bytes, kCbAllocate))
        DdiRawSet(&wrapped, bytes, kCbAllocate, &AllocateCbWrapper);
    if (DdiRawGet<PFND3DDDI_SUBMITCOMMANDCB>(&pristine, bytes, kCbSubmitCommand))
        DdiRawSet(&wrapped, bytes, kCbSubmitCommand, &SubmitCommandCbWrapper);
    if (DdiRawGet<PFND3DDDI_DEALLOCATE2CB>(&pristine, bytes, kCbDeallocate2))
        DdiRawSet(&wrapped, bytes, kCbDeallocate2, &Deallocate2CbWrapper);
    return &device->wrappedCallbacks;
}

namespace {

// A callback wrapper's device, found by the runtime's handle, and the
// runtime's own callback it forwards to.
template <class Fn>
ForwardTarget<DeviceRecord, Fn> FindRuntimeCallback(HANDLE runtimeDevice, unsigned entry) noexcept
{
    DeviceRecord* device = FindDeviceByRuntime(runtimeDevice);
    return {device, device ? DdiRawGet<Fn>(&device->pristineCallbacks, device->callbacksBytes, entry) : nullptr};
}

}  // namespace

HRESULT APIENTRY AllocateCbWrapper(HANDLE hDevice, D3DDDICB_ALLOCATE* pArgs)
{
    const auto [device, pristine] = FindRuntimeCallback<PFND3DDDI_ALLOCATECB>(hDevice, kCbAllocate);
    if (!pristine) return E_INVALIDARG;
    if (!pArgs) return pristine(device->runtimeDevice, pArgs);

    // NVIDIA: a tracked primary on a virtual source is created as an ordinary
    // texture whose single allocation is marked Primary for that source.
    // Entry 0 and these two fields lie at the same place in both forms.
    if (device->adapter->privateData.vendorId == kVendorNvidia && pArgs->NumAllocations == 1 &&
        device->forcePrimaryAllocation && pArgs->pAllocationInfo && device->IsCreationAllocation(*pArgs)) {
        pArgs->pAllocationInfo[0].VidPnSourceId = device->forcedSourceId;
        pArgs->pAllocationInfo[0].Flags |= kAllocationFlagPrimary;
    }

    HRESULT hr = pristine(device->runtimeDevice, pArgs);
    if (FAILED(hr) || !pArgs->pAllocationInfo) return hr;

    // Read after the call: a creation may have begun or ended meanwhile.
    if (!device->IsCapturing(*pArgs)) return hr;
    for (UINT i = 0; i < pArgs->NumAllocations; ++i) {
        AllocationRecord* record = NewAllocationRecord();
        if (!record) break;  // recording stops; the runtime's result stands
        record->kmResource = pArgs->hKMResource;
        std::memcpy(&record->info, AllocationInfoEntry(*pArgs, device->allocationInfo2, i), sizeof record->info);
        // Judged again under the pending lock: a call from another thread
        // may have been taken for a creation that has ended since, and the
        // device's next tracked creation empties the list and begins anew
        // in the meantime; its list never gets the old creation's records.
        CLockGuard guard(device->pendingLock);
        if (!device->IsCapturing(*pArgs)) {
            delete record;
            break;
        }
        device->pendingAllocations.PushBack(record);
    }
    return hr;
}

HRESULT APIENTRY SubmitCommandCbWrapper(HANDLE hDevice, const D3DDDICB_SUBMITCOMMAND* pArgs)
{
    const auto [device, pristine] = FindRuntimeCallback<PFND3DDDI_SUBMITCOMMANDCB>(hDevice, kCbSubmitCommand);
    if (!pristine) return E_INVALIDARG;
    return pristine(device->runtimeDevice, pArgs);
}

HRESULT APIENTRY Deallocate2CbWrapper(HANDLE hDevice, const D3DDDICB_DEALLOCATE2* pArgs)
{
    const auto [device, pristine] = FindRuntimeCallback<PFND3DDDI_DEALLOCATE2CB>(hDevice, kCbDeallocate2);
    if (!pristine) return E_INVALIDARG;

    if (pArgs && pArgs->hResource && pArgs->HandleList) {
        CLockGuard guard(device->pendingLock);
        for (UINT i = 0; i < pArgs->NumAllocations; ++i) {
            delete device->pendingAllocations.RemoveFirst(pArgs->HandleList[i]);
        }
    }
    return pristine(device->runtimeDevice, pArgs);
}

}  // namespace brisel
