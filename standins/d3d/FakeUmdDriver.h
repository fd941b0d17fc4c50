// What the adapter, D3D9 and D3D10/11 code of every fake vendor driver
// shares: the record of a call in fakeumd_state.dll and the runtime
// callbacks a real driver makes (allocation, deallocation, submission).
// Built into every fake driver; runs on the caller's thread.
#pragma once

#include "FakeUmdState.h"
#include "ddi/DdiCommon.h"

namespace fakeumd {

// Allocations one resource (or one internal allocation request) may make.
constexpr UINT kMaxAllocations = 4;

// A call of this driver variant, with the fields every call record has.
FakeUmdCall NewCall(int kind, void* in, void* out, UINT count);

// Records one call of this driver variant in fakeumd_state.dll.
void RecordCall(int kind, UINT iface, UINT version, void* in, void* out, const void* callbacks, void* funcs,
                UINT count = 0);

// The runtime's device callbacks as one device received them: `bytes` is the
// size of the table the interface version it was told provides, `info2`
// whether that version describes allocations as D3DDDI_ALLOCATIONINFO2.
struct RuntimeDevice {
    HANDLE handle;
    const D3DDDI_DEVICECALLBACKS* callbacks;
    UINT bytes;
    bool info2;
};

// The runtime device a driver told user-mode interface version `umdVersion` sees.
RuntimeDevice RuntimeDeviceFor(HANDLE handle, const D3DDDI_DEVICECALLBACKS* callbacks, UINT umdVersion);

// pfnAllocateCb for `count` allocations (at most kMaxAllocations) described
// by infos (pSystemMem, VidPnSourceId, Flags), passed in the device's form;
// the runtime's handles come back in infos[i].hAllocation. E_NOTIMPL when
// the runtime lacks the callback. A resource's allocation is made on the
// thread that FakeUmdConfig::allocationThread names (the caller waits).
HRESULT Allocate(const RuntimeDevice& runtime, HANDLE resource, UINT count, D3DDDI_ALLOCATIONINFO* infos);

// pfnSubmitCommandCb, when the runtime provides it.
void SubmitCommand(const RuntimeDevice& runtime);
// The allocations a real driver makes for its own command buffers at device
// creation: outside any resource the application created (at most
// kMaxAllocations).
void AllocateInternal(const RuntimeDevice& runtime, UINT count);
// Frees a resource's allocations through pfnDeallocate2Cb (nothing when
// there are none or the runtime lacks the callback).
void DeallocateAll(const RuntimeDevice& runtime, HANDLE runtimeResource, UINT count, const D3DKMT_HANDLE* allocations);

}  // namespace fakeumd
