// The call record and runtime callbacks shared by the fake vendor drivers'
// adapter, D3D9 and D3D10/11 code (see FakeUmdDriver.h). Runs on the
// caller's thread.
#include "FakeUmdDriver.h"

#include <cstring>

#include "FakeUmdState.h"

namespace fakeumd {

FakeUmdCall NewCall(int kind, void* in, void* out, UINT count)
{
    FakeUmdCall call{};
    call.kind = kind;
    call.variant = FAKEUMD_VARIANT;
    call.handleIn = in;
    call.handleOut = out;
    call.count = count;
    return call;
}

void RecordCall(int kind, UINT iface, UINT version, void* in, void* out, const void* callbacks, void* funcs, UINT count)
{
    FakeUmdCall call = NewCall(kind, in, out, count);
    call.interfaceVersion = iface;
    call.version = version;
    call.callbacks = callbacks;
    call.funcs = funcs;
    FakeUmd_Record(&call);
}

void SubmitCommand(const RuntimeDevice& runtime)
{
    auto submit = DdiRawGet<PFND3DDDI_SUBMITCOMMANDCB>(runtime.callbacks, runtime.bytes, kCbSubmitCommand);
    if (submit) submit(runtime.handle, nullptr);
}

RuntimeDevice RuntimeDeviceFor(HANDLE handle, const D3DDDI_DEVICECALLBACKS* callbacks, UINT umdVersion)
{
    return {handle, callbacks, DeviceCallbackEntriesForUmdVersion(umdVersion) * UINT(sizeof(DdiProc)),
            AllocationInfo2ForUmdVersion(umdVersion)};
}

namespace {

struct WorkerAllocation {
    PFND3DDDI_ALLOCATECB allocate;
    HANDLE device;
    D3DDDICB_ALLOCATE* args;
    HRESULT hr;
};

DWORD WINAPI AllocateOnWorker(void* context)
{
    auto* work = static_cast<WorkerAllocation*>(context);
    work->hr = work->allocate(work->device, work->args);
    return 0;
}

// One allocate call on a thread of the driver's own; the caller waits.
HRESULT AllocateFromWorker(PFND3DDDI_ALLOCATECB allocate, HANDLE device, D3DDDICB_ALLOCATE* args)
{
    WorkerAllocation work{allocate, device, args, E_FAIL};
    HANDLE thread = CreateThread(nullptr, 0, &AllocateOnWorker, &work, 0, nullptr);
    if (!thread) return E_OUTOFMEMORY;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return work.hr;
}

// A resource's pfnAllocateCb call, made on the thread that
// FakeUmdConfig::allocationThread names (the caller waits for a worker).
HRESULT AllocateOnConfiguredThread(PFND3DDDI_ALLOCATECB allocate, HANDLE device, D3DDDICB_ALLOCATE* args)
{
    switch (FakeUmd_Config()->allocationThread) {
    case kAllocateOnWorker:
        return AllocateFromWorker(allocate, device, args);
    case kWorkerAllocatesForDevice: {
        // Large enough for either allocation-info form; the device's own
        // allocation has no resource.
        D3DDDI_ALLOCATIONINFO2 info{};
        D3DDDICB_ALLOCATE own{};
        own.NumAllocations = 1;
        own.pAllocationInfo = reinterpret_cast<D3DDDI_ALLOCATIONINFO*>(&info);
        AllocateFromWorker(allocate, device, &own);
        return allocate(device, args);
    }
    default:
        return allocate(device, args);
    }
}

}  // namespace

HRESULT Allocate(const RuntimeDevice& runtime, HANDLE resource, UINT count, D3DDDI_ALLOCATIONINFO* infos)
{
    auto allocate = DdiRawGet<PFND3DDDI_ALLOCATECB>(runtime.callbacks, runtime.bytes, kCbAllocate);
    if (!allocate) return E_NOTIMPL;
    if (count > kMaxAllocations) count = kMaxAllocations;
    D3DDDI_ALLOCATIONINFO2 infos2[kMaxAllocations] = {};
    D3DDDICB_ALLOCATE args{};
    args.hResource = resource;
    args.NumAllocations = count;
    args.pAllocationInfo = infos;
    if (runtime.info2) {
        for (UINT i = 0; i < count; ++i) std::memcpy(&infos2[i], &infos[i], sizeof infos[i]);
        args.pAllocationInfo = reinterpret_cast<D3DDDI_ALLOCATIONINFO*>(infos2);
    }
    const HRESULT hr =
        resource ? AllocateOnConfiguredThread(allocate, runtime.handle, &args) : allocate(runtime.handle, &args);
    if (runtime.info2) {
        for (UINT i = 0; i < count; ++i) infos[i].hAllocation = infos2[i].hAllocation;
    }
    return hr;
}

void AllocateInternal(const RuntimeDevice& runtime, UINT count)
{
    if (count == 0) return;
    D3DDDI_ALLOCATIONINFO infos[kMaxAllocations] = {};
    Allocate(runtime, nullptr, count, infos);
}

void DeallocateAll(const RuntimeDevice& runtime, HANDLE runtimeResource, UINT count, const D3DKMT_HANDLE* allocations)
{
    auto deallocate = DdiRawGet<PFND3DDDI_DEALLOCATE2CB>(runtime.callbacks, runtime.bytes, kCbDeallocate2);
    if (!deallocate || count == 0) return;
    D3DDDICB_DEALLOCATE2 args{};
    args.hResource = runtimeResource;
    args.NumAllocations = count;
    args.HandleList = allocations;
    deallocate(runtime.handle, &args);
}

}  // namespace fakeumd
