// The D3D9 device functions of the fake vendor user-mode drivers. Every call
// is recorded with its arguments (FakeUmdD3d9State.h); resource creation
// allocates through the runtime's pfnAllocateCb (one allocation per surface,
// or as many as the test asks) and frees with pfnDeallocate2Cb at
// destruction; system-memory resources remember their memory, into which
// pfnBlt writes a known pattern; pfnCheckDirectFlipSupport reports support.
// Answers come from the test's configuration; the live-resource count lets
// tests find leaks. Runs on the caller's thread; each device's resource
// table is guarded by the device's lock.
#include "FakeUmdD3d9.h"

#include <new>

#include "FakeUmdD3d9State.h"
#include "FakeUmdDriver.h"
#include "FakeUmdState.h"

namespace fakeumd {

namespace {

constexpr unsigned kMaxResources = 64;

struct Resource9 {
    HANDLE driverHandle;
    HANDLE runtimeHandle;
    UINT allocationCount;
    D3DKMT_HANDLE allocations[kMaxAllocations];
    void* sysMem;  // system-memory resources only
    UINT pitch;
    UINT width;
    UINT height;
};

struct Device9 {
    RuntimeDevice runtime;
    CRITICAL_SECTION lock;
    Resource9 resources[kMaxResources];
};

Device9* AsDevice(HANDLE hDevice) { return static_cast<Device9*>(hDevice); }

FakeD3d9Call NewCall(int kind, HANDLE hDevice, HANDLE hResource)
{
    FakeD3d9Call call{};
    call.kind = kind;
    call.hDevice = hDevice;
    call.hResource = hResource;
    return call;
}

void APIENTRY UnimplementedEntry9() {}

// Reserves a free slot of the device's table, or nullptr when it is full.
Resource9* ReserveSlot(Device9* device, HANDLE driverHandle)
{
    EnterCriticalSection(&device->lock);
    Resource9* slot = nullptr;
    for (Resource9& r : device->resources) {
        if (r.driverHandle) continue;
        r = Resource9{};
        r.driverHandle = driverHandle;
        slot = &r;
        break;
    }
    LeaveCriticalSection(&device->lock);
    return slot;
}

void ReleaseSlot(Device9* device, Resource9* slot)
{
    EnterCriticalSection(&device->lock);
    *slot = Resource9{};
    LeaveCriticalSection(&device->lock);
}

// Takes the resource out of the table; false when the handle is unknown.
bool TakeResource(Device9* device, HANDLE driverHandle, Resource9* out)
{
    bool found = false;
    EnterCriticalSection(&device->lock);
    for (Resource9& r : device->resources) {
        if (!driverHandle || r.driverHandle != driverHandle) continue;
        *out = r;
        r = Resource9{};
        found = true;
        break;
    }
    LeaveCriticalSection(&device->lock);
    return found;
}

void FreeAllocations(Device9* device, const Resource9& resource)
{
    DeallocateAll(device->runtime, resource.runtimeHandle, resource.allocationCount, resource.allocations);
}

// Entries 37 and 128 share everything but the argument's last member.
template <class Args>
HRESULT CreateResourceAny(HANDLE hDevice, Args* args, int kind, UINT flags2)
{
    Device9* device = AsDevice(hDevice);
    const FakeD3d9Config& config = *FakeD3d9_Config();
    FakeD3d9Call call = NewCall(kind, hDevice, args->hResource);
    call.format = args->Format;
    call.pool = args->Pool;
    call.flags = args->Flags;
    call.flags2 = flags2;
    call.surfCount = args->SurfCount;
    call.mipLevels = args->MipLevels;
    call.rotation = args->Rotation;
    call.vidPnSourceId = args->VidPnSourceId;
    call.refreshNumerator = args->RefreshRate.Numerator;
    call.refreshDenominator = args->RefreshRate.Denominator;
    if (args->pSurfList && args->SurfCount) {
        call.width = args->pSurfList[0].Width;
        call.height = args->pSurfList[0].Height;
        call.pSysMem = args->pSurfList[0].pSysMem;
        call.sysMemPitch = args->pSurfList[0].SysMemPitch;
    }

    const bool sysMem = args->Pool == kD3d9PoolSystemMem;
    call.result = sysMem ? config.sysMemCreateResult : config.createResult;
    HANDLE driverHandle = FakeUmd_NewHandle();
    Resource9* slot = SUCCEEDED(call.result) ? ReserveSlot(device, driverHandle) : nullptr;
    if (SUCCEEDED(call.result) && !slot) call.result = E_OUTOFMEMORY;

    UINT count =
        config.allocationsPerResource ? config.allocationsPerResource : (args->SurfCount ? args->SurfCount : 1);
    if (count > kMaxAllocations) count = kMaxAllocations;
    const RuntimeDevice& runtime = device->runtime;
    if (SUCCEEDED(call.result) && DdiRawGet<PFND3DDDI_ALLOCATECB>(runtime.callbacks, runtime.bytes, kCbAllocate)) {
        D3DDDI_ALLOCATIONINFO infos[kMaxAllocations] = {};
        for (UINT i = 0; i < count; ++i) {
            infos[i].VidPnSourceId = args->VidPnSourceId;
            infos[i].Flags = (args->Flags & kD3d9ResPrimary) ? kAllocationFlagPrimary : 0;
            if (sysMem && i == 0 && args->pSurfList) infos[i].pSystemMem = args->pSurfList[0].pSysMem;
        }
        call.result = Allocate(runtime, args->hResource, count, infos);
        if (SUCCEEDED(call.result)) {
            slot->runtimeHandle = args->hResource;
            slot->allocationCount = count;
            for (UINT i = 0; i < count; ++i) slot->allocations[i] = infos[i].hAllocation;
            call.allocations = count;
        }
    }
    if (FAILED(call.result)) {
        if (slot) ReleaseSlot(device, slot);
        FakeD3d9_Record(&call);
        RecordCall(kCallCreateResource9, 0, 0, hDevice, nullptr, nullptr, nullptr, 0);
        return call.result;
    }
    if (sysMem && args->pSurfList) {
        slot->sysMem = const_cast<void*>(args->pSurfList[0].pSysMem);
        slot->pitch = args->pSurfList[0].SysMemPitch;
        slot->width = args->pSurfList[0].Width;
        slot->height = args->pSurfList[0].Height;
    }
    FakeD3d9_LiveDelta(+1);
    call.hResult = driverHandle;
    FakeD3d9_Record(&call);
    RecordCall(kCallCreateResource9, 0, 0, hDevice, driverHandle, nullptr, nullptr, call.allocations);
    args->hResource = driverHandle;
    return S_OK;
}

HRESULT APIENTRY CreateResource9(HANDLE hDevice, D3DDDIARG_CREATERESOURCE* args)
{
    return CreateResourceAny(hDevice, args, kD3d9CallCreateResource, 0);
}

HRESULT APIENTRY CreateResource2_9(HANDLE hDevice, D3DDDIARG_CREATERESOURCE2* args)
{
    return CreateResourceAny(hDevice, args, kD3d9CallCreateResource2, args->Flags2);
}

HRESULT APIENTRY OpenResource9(HANDLE hDevice, D3DDDIARG_OPENRESOURCE* args)
{
    Device9* device = AsDevice(hDevice);
    FakeD3d9Call call = NewCall(kD3d9CallOpenResource, hDevice, args->hResource);
    call.flags = args->Flags;
    call.rotation = args->Rotation;
    call.allocations = args->NumAllocations;
    call.result = FakeD3d9_Config()->openResult;
    HANDLE driverHandle = FakeUmd_NewHandle();
    Resource9* slot = SUCCEEDED(call.result) ? ReserveSlot(device, driverHandle) : nullptr;
    if (SUCCEEDED(call.result) && !slot) call.result = E_OUTOFMEMORY;
    if (SUCCEEDED(call.result)) {
        // An opened resource's allocations belong to its creator: nothing is
        // allocated or freed here.
        slot->runtimeHandle = args->hResource;
        FakeD3d9_LiveDelta(+1);
        call.hResult = driverHandle;
        args->hResource = driverHandle;
    }
    FakeD3d9_Record(&call);
    return call.result;
}

HRESULT APIENTRY DestroyResource9(HANDLE hDevice, HANDLE hResource)
{
    Device9* device = AsDevice(hDevice);
    FakeD3d9Call call = NewCall(kD3d9CallDestroyResource, hDevice, hResource);
    RecordCall(kCallDestroyResource9, 0, 0, hDevice, hResource, nullptr, nullptr);
    Resource9 resource{};
    if (!TakeResource(device, hResource, &resource)) {
        call.result = E_INVALIDARG;
        FakeD3d9_Record(&call);
        return E_INVALIDARG;
    }
    FreeAllocations(device, resource);
    FakeD3d9_LiveDelta(-1);
    call.allocations = resource.allocationCount;
    FakeD3d9_Record(&call);
    return S_OK;
}

// Both present forms record the same members and submit.
template <class Args>
HRESULT PresentAny(HANDLE hDevice, const Args* args, int kind, HANDLE source)
{
    FakeD3d9Call call = NewCall(kind, hDevice, source);
    if (args) {
        call.hDst = args->hDstResource;
        call.flags = args->Flags;
    }
    call.result = FakeD3d9_Config()->presentResult;
    FakeD3d9_Record(&call);
    SubmitCommand(AsDevice(hDevice)->runtime);
    return call.result;
}

HRESULT APIENTRY Present9(HANDLE hDevice, const D3DDDIARG_PRESENT* args)
{
    return PresentAny(hDevice, args, kD3d9CallPresent, args ? args->hSrcResource : nullptr);
}

HRESULT APIENTRY Present1_9(HANDLE hDevice, const D3DDDIARG_PRESENT1* args)
{
    HANDLE source = (args && args->phSrcResources && args->SrcResources) ? args->phSrcResources[0].hSurface : nullptr;
    return PresentAny(hDevice, args, kD3d9CallPresent1, source);
}

// Writes the pattern into the part of DstRect that lies inside a
// system-memory destination; other destinations only record the call.
UINT WritePattern(Device9* device, const D3DDDIARG_BLT& blt, DWORD pattern)
{
    Resource9 dst{};
    EnterCriticalSection(&device->lock);
    for (const Resource9& r : device->resources) {
        if (blt.hDstResource && r.driverHandle == blt.hDstResource) dst = r;
    }
    LeaveCriticalSection(&device->lock);
    if (!dst.sysMem || dst.pitch < dst.width * 4) return 0;
    const LONG left = blt.DstRect.left < 0 ? 0 : blt.DstRect.left;
    const LONG top = blt.DstRect.top < 0 ? 0 : blt.DstRect.top;
    const LONG right =
        blt.DstRect.right > static_cast<LONG>(dst.width) ? static_cast<LONG>(dst.width) : blt.DstRect.right;
    const LONG bottom =
        blt.DstRect.bottom > static_cast<LONG>(dst.height) ? static_cast<LONG>(dst.height) : blt.DstRect.bottom;
    UINT written = 0;
    for (LONG y = top; y < bottom; ++y) {
        auto* row =
            reinterpret_cast<DWORD*>(static_cast<unsigned char*>(dst.sysMem) + static_cast<size_t>(y) * dst.pitch);
        for (LONG x = left; x < right; ++x, ++written)
            row[x] = pattern ^ (static_cast<DWORD>(y) << 16 | static_cast<DWORD>(x));
    }
    return written;
}

HRESULT APIENTRY Blt9(HANDLE hDevice, const D3DDDIARG_BLT* args)
{
    FakeD3d9Call call = NewCall(kD3d9CallBlt, hDevice, args ? args->hSrcResource : nullptr);
    const FakeD3d9Config& config = *FakeD3d9_Config();
    call.result = args ? config.bltResult : E_INVALIDARG;
    if (args) {
        call.hDst = args->hDstResource;
        call.srcRect = args->SrcRect;
        call.dstRect = args->DstRect;
        call.subResources = args->SrcSubResourceIndex << 16 | args->DstSubResourceIndex;
        call.flags = args->Flags;
        call.colorKey = args->ColorKey;
        if (SUCCEEDED(call.result)) call.pixelsWritten = WritePattern(AsDevice(hDevice), *args, config.bltPattern);
    }
    FakeD3d9_Record(&call);
    return call.result;
}

HRESULT APIENTRY SetDisplayMode9(HANDLE hDevice, const D3DDDIARG_SETDISPLAYMODE* args)
{
    FakeD3d9Call call = NewCall(kD3d9CallSetDisplayMode, hDevice, args ? args->hResource : nullptr);
    call.result = FakeD3d9_Config()->setDisplayModeResult;
    FakeD3d9_Record(&call);
    return call.result;
}

HRESULT APIENTRY CheckDirectFlipSupport9(HANDLE hDevice, D3DDDIARG_CHECKDIRECTFLIPSUPPORT* args)
{
    const FakeD3d9Config& config = *FakeD3d9_Config();
    FakeD3d9Call call = NewCall(kD3d9CallCheckDirectFlip, hDevice, args ? args->hAppSwapchainResource : nullptr);
    call.result = args ? config.directFlipResult : E_INVALIDARG;
    if (args) {
        args->Supported = config.directFlipSupported;
        call.supported = config.directFlipSupported;
    }
    FakeD3d9_Record(&call);
    return call.result;
}

HRESULT APIENTRY DestroyDevice9(HANDLE hDevice)
{
    Device9* device = AsDevice(hDevice);
    RecordCall(kCallDestroyDevice9, 0, 0, hDevice, nullptr, nullptr, nullptr);
    // A real driver frees what is left while it tears down; such resources
    // were never destroyed through pfnDestroyResource and stay counted live.
    for (Resource9& r : device->resources) {
        if (r.driverHandle) FreeAllocations(device, r);
    }
    DeleteCriticalSection(&device->lock);
    delete device;
    return S_OK;
}

}  // namespace

HRESULT APIENTRY CreateDevice9(HANDLE hAdapter, D3DDDIARG_CREATEDEVICE* args)
{
    const FakeUmdConfig* config = FakeUmd_Config();
    RecordCall(kCallCreateDevice9, args->Interface, args->Version, hAdapter, nullptr, args->pCallbacks,
               args->pDeviceFuncs);
    if (FAILED(config->createDeviceResult)) return config->createDeviceResult;
    auto* device = new (std::nothrow) Device9{};
    if (!device) return E_OUTOFMEMORY;
    // A D3D9 runtime's Version is the user-mode interface version. The
    // allocation form is the driver model's: that of the lower of the told
    // version and the one this driver reports as built for.
    device->runtime = RuntimeDeviceFor(args->hDevice, args->pCallbacks, args->Version);
    device->runtime.info2 = D3d9AllocationInfo2(args->Version, config->driverVersion);
    InitializeCriticalSection(&device->lock);
    AllocateInternal(device->runtime, config->allocationsAtCreateDevice);

    // The table a runtime of this Version provides; entries beyond it do not
    // exist (DdiRawSet writes nothing past `bytes`).
    const UINT bytes = D3d9DeviceFuncsSizeForVersion(args->Version);
    void* funcs = args->pDeviceFuncs;
    for (UINT i = 0; i * sizeof(DdiProc) < bytes; ++i) DdiRawSet(funcs, bytes, i, &UnimplementedEntry9);
    DdiRawSet(funcs, bytes, kD3d9CreateResource, &CreateResource9);
    DdiRawSet(funcs, bytes, kD3d9DestroyResource, &DestroyResource9);
    DdiRawSet(funcs, bytes, kD3d9SetDisplayMode, &SetDisplayMode9);
    DdiRawSet(funcs, bytes, kD3d9Present, &Present9);
    DdiRawSet(funcs, bytes, kD3d9Blt, &Blt9);
    DdiRawSet(funcs, bytes, kD3d9OpenResource, &OpenResource9);
    DdiRawSet(funcs, bytes, kD3d9CheckDirectFlipSupport, &CheckDirectFlipSupport9);
    DdiRawSet(funcs, bytes, kD3d9CreateResource2, &CreateResource2_9);
    DdiRawSet(funcs, bytes, kD3d9Present1, &Present1_9);
    if (config->leaveDestroyDeviceEmpty) DdiRawSet(funcs, bytes, kD3d9DestroyDevice, static_cast<DdiProc>(nullptr));
    else DdiRawSet(funcs, bytes, kD3d9DestroyDevice, &DestroyDevice9);
    args->hDevice = device;
    return S_OK;
}

}  // namespace fakeumd
