// The call record and runtime callbacks shared by the fake vendor drivers'
// adapter, D3D9 and D3D10/11 code (see FakeUmdDriver.h). Runs on the
// caller's thread.
#include "FakeUmdDriver.h"

#include "FakeUmdState.h"

namespace fakeumd {

void RecordCall(int kind, UINT iface, UINT version, void* in, void* out, const void* callbacks, void* funcs,
                UINT count)
{
    FakeUmdCall call{};
    call.kind = kind;
    call.variant = FAKEUMD_VARIANT;
    call.interfaceVersion = iface;
    call.version = version;
    call.handleIn = in;
    call.handleOut = out;
    call.callbacks = callbacks;
    call.funcs = funcs;
    call.count = count;
    FakeUmd_Record(&call);
}

void SubmitCommand(const RuntimeDevice& runtime)
{
    auto submit = DdiRawGet<PFND3DDDI_SUBMITCOMMANDCB>(runtime.callbacks, runtime.bytes, kCbSubmitCommand);
    if (submit) submit(runtime.handle, nullptr);
}

void AllocateInternal(const RuntimeDevice& runtime, UINT count)
{
    auto allocate = DdiRawGet<PFND3DDDI_ALLOCATECB>(runtime.callbacks, runtime.bytes, kCbAllocate);
    if (!allocate || count == 0) return;
    D3DDDI_ALLOCATIONINFO infos[kMaxAllocations] = {};
    D3DDDICB_ALLOCATE args{};
    args.NumAllocations = count < kMaxAllocations ? count : kMaxAllocations;
    args.pAllocationInfo = infos;
    allocate(runtime.handle, &args);
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

}  // namespace

HRESULT AllocateResource(const RuntimeDevice& runtime, D3DDDICB_ALLOCATE* args)
{
    auto allocate = DdiRawGet<PFND3DDDI_ALLOCATECB>(runtime.callbacks, runtime.bytes, kCbAllocate);
    if (!allocate) return E_NOTIMPL;
    switch (FakeUmd_Config()->allocationThread) {
    case kAllocateOnWorker:
        return AllocateFromWorker(allocate, runtime.handle, args);
    case kWorkerAllocatesForDevice: {
        D3DDDI_ALLOCATIONINFO info{};
        D3DDDICB_ALLOCATE own{};
        own.NumAllocations = 1;
        own.pAllocationInfo = &info;
        AllocateFromWorker(allocate, runtime.handle, &own);
        return allocate(runtime.handle, args);
    }
    default:
        return allocate(runtime.handle, args);
    }
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
