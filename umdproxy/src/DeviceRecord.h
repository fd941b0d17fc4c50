// DeviceRecord: one per device that a wrapped adapter creates, in the
// process-wide device list. This file owns the common part shared by the D3D9
// and D3D10/11 forms (D3d9Device.h, D3d10Device.h add their own fields), the
// device-list lookups, the pending-allocation and tracked-surface operations,
// and the copies of the runtime's device callbacks with the three wrapped
// entries (allocation capture, submit command, deallocate).
//
// Threads: the runtime's and the real driver's (callbacks may come from the
// driver's worker threads). Locks: device list lock (lookups), tracked lock
// (trackedSurfaces), pending lock (pendingAllocations), one mutex per surface.
// Nesting, always in this order: tracked lock then a surface's mutex; pending
// lock then a surface's mutex. A surface's copy lock is taken by present
// callbacks only, with none of these held, and stays held while the copy
// calls the real driver.
#pragma once

#include <windows.h>

#include "AdapterRecord.h"
#include "CaptureRecords.h"
#include "RecordList.h"

namespace brisel {

struct DeviceRecord;

// The device list holds DeviceRecords through these links.
struct DeviceLinks : ListLinks {
    DeviceRecord* pRecord;
};

enum class DeviceApi : BYTE { D3d9, D3d10 };

struct DeviceRecord {
    DeviceRecord() noexcept;
    virtual ~DeviceRecord();
    DeviceRecord(const DeviceRecord&) = delete;
    DeviceRecord& operator=(const DeviceRecord&) = delete;

    DeviceLinks links{};
    DeviceApi api = DeviceApi::D3d9;
    UINT interfaceVersion = 0;  // the runtime's Interface
    AdapterRecord* adapter = nullptr;
    HANDLE runtimeDevice = nullptr;  // key of the callback wrappers
    D3DDDI_DEVICECALLBACKS* runtimeCallbacks = nullptr;  // points at pristineCallbacks
    D3DDDI_DEVICECALLBACKS pristineCallbacks{};  // called by Brisel
    D3DDDI_DEVICECALLBACKS wrappedCallbacks{};  // handed to the real driver
    UINT callbacksBytes = 0;  // valid bytes of both copies
    bool allocationInfo2 = false;  // allocations are described as D3DDDI_ALLOCATIONINFO2

    // Tracked surfaces, insertion order (intrusive through TrackedSurface::pNext).
    TrackedSurface* trackedHead = nullptr;
    TrackedSurface* trackedTail = nullptr;
    UINT retiredPinned = 0;  // under trackedLock
    TrackedSurface* finishable = nullptr;  // under trackedLock
    CLock trackedLock;

    CAllocationQueue pendingAllocations;
    CLock pendingLock;

    volatile BYTE capturingAllocations = 0;
    // The thread of the tracked creation, the runtime's handle of the
    // resource it creates, and how many tracked creations are in flight on
    // the device. Which allocations are the creation's: IsCreationAllocation.
    volatile DWORD capturingThread = 0;
    HANDLE volatile capturingResource = nullptr;
    volatile LONG trackedCreations = 0;
    volatile BYTE forcePrimaryAllocation = 0;
    volatile UINT forcedSourceId = 0;

    HANDLE driverDevice = nullptr;  // key of the device-function wrappers
    // Set when the real creation succeeded; only such records are found by
    // driverDevice (a record still being created may have none yet).
    volatile BYTE isCreated = 0;

    // --- tracked surfaces
    void AddTrackedSurface(TrackedSurface* surface) noexcept;
    TrackedSurface* FindTrackedSurface(HANDLE driverResource) noexcept;
    // Unlinks the surface (under the tracked lock); false when it was not listed.
    bool RemoveTrackedSurface(TrackedSurface* surface) noexcept;

    // Lookups for present callbacks, which may run on a driver thread while
    // a runtime thread destroys the resource: the surface found is pinned (see
    // TrackedSurface::pins) until UnpinSurface. By allocation: the first
    // surface (under the tracked lock) one of whose allocations (under its
    // mutex) is `allocation`.
    TrackedSurface* PinTrackedSurface(HANDLE driverResource) noexcept;
    TrackedSurface* PinSurfaceByAllocation(D3DKMT_HANDLE allocation) noexcept;
    // Drops a pin. The last pin of a retired surface hands it to the
    // finishable list: the runtime's thread finishes it at its next call
    // (TakeFinishableSurfaces), never the driver's.
    void UnpinSurface(TrackedSurface* surface) noexcept;
    // Resource destruction: unlists the surface. True when the caller
    // finishes it now; false when it was not listed, or when a present
    // callback still holds a pin.
    bool RetireTrackedSurface(TrackedSurface* surface) noexcept;
    // Retired surfaces some present callback still holds.
    UINT RetiredSurfacesPinned() noexcept;
    // Unlinks and returns the finishable surfaces (through pNext), or nullptr.
    TrackedSurface* TakeFinishableSurfaces() noexcept;

    // --- pending allocations
    // A tracked creation of `runtimeResource` begins on this thread.
    void BeginCapture(HANDLE runtimeResource) noexcept;
    // Ends the tracked creation's capture: no thread records any more.
    void EndCapture() noexcept;
    // Whether an allocate call is made for the tracked creation in flight:
    // any call on the creating thread, or a call on another thread for the
    // created resource itself (hResource is its runtime handle) while it is
    // the only tracked creation in flight on the device. A driver's other
    // threads may allocate at the same time for the device itself (hResource
    // null), for other resources, or for a present callback's shadow: none of
    // those is taken.
    bool IsCreationAllocation(const D3DDDICB_ALLOCATE& args) const noexcept;
    // A capture is running and the call is its creation's.
    bool IsCapturing(const D3DDDICB_ALLOCATE& args) const noexcept
    {
        return capturingAllocations && IsCreationAllocation(args);
    }
    void PurgePending() noexcept;
    // Ends the capture, then appends every pending record to the
    // surface in order (pending lock, then the surface's mutex).
    void MovePendingToSurface(TrackedSurface* surface) noexcept;
    unsigned PendingCount() noexcept;
};

// What a wrapper finds before it forwards a call: the record of the device
// the call names and the real entry it forwards to. `real` is null when
// either is missing (an unknown device, or an entry left empty); the wrapper
// then refuses the call with E_INVALIDARG.
template <class Record, class Fn>
struct ForwardTarget {
    Record* device;
    Fn real;
};

// Device list.
void InsertDevice(DeviceRecord* device) noexcept;
void UnlinkDevice(DeviceRecord* device) noexcept;
DeviceRecord* FindDeviceByDriver(HANDLE driverDevice) noexcept;
DeviceRecord* FindDeviceByRuntime(HANDLE runtimeDevice) noexcept;
// Unlinks and deletes the record with everything it still holds.
void DestroyDeviceRecord(DeviceRecord* device) noexcept;

// Copies the runtime's callback table twice, exactly as many entries as the
// table of user-mode interface version `umdVersion` has (the version the
// driver is told, or the one the D3D10/11 Interface implies), stores its
// pfnEscapeCb in the adapter and records the allocation-info form of that
// version (D3D9 creation then narrows it to the driver's own). With `wrap` set the three wrappers are installed in the
// wrapped copy, which is returned for the real driver; entries the runtime leaves empty stay empty. Without it the
// runtime's own table is returned: a driver that may read entries Brisel does not know gets them from the runtime.
const D3DDDI_DEVICECALLBACKS* CopyDeviceCallbacks(DeviceRecord* device, const D3DDDI_DEVICECALLBACKS* runtime,
                                                  UINT umdVersion, bool wrap) noexcept;

// The three callback wrappers (exposed for the tests).
HRESULT APIENTRY AllocateCbWrapper(HANDLE hDevice, D3DDDICB_ALLOCATE* pArgs);
HRESULT APIENTRY SubmitCommandCbWrapper(HANDLE hDevice, const D3DDDICB_SUBMITCOMMAND* pArgs);
HRESULT APIENTRY Deallocate2CbWrapper(HANDLE hDevice, const D3DDDICB_DEALLOCATE2* pArgs);

}  // namespace brisel
