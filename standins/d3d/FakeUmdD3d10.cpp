// The fake vendor driver's D3D10/11 device: creation, the device functions
// Brisel wraps or calls (resource creation, opening and destruction, staging
// map and unmap, flush in both forms, resource copy, private sizes, device
// destruction) and the rest of the table as placeholders. Resource creation
// allocates through the runtime's pfnAllocateCb, destruction frees through
// pfnDeallocate2Cb, flush submits. Every call is recorded in fakeumd_state.dll.
// Runs on the caller's thread; a device's resource table is guarded by its lock,
// which is never held while a runtime callback runs.
#include "FakeUmdD3d10.h"

#include <cstring>
#include <new>

#include "FakeUmdState.h"

namespace fakeumd10 {

namespace {

constexpr UINT kPrivateResourceSize = 16;
constexpr unsigned long long kMaxPixelBytes = 64ull << 20;

void APIENTRY Placeholder10() {}

void FillTable(void* table, UINT bytes)
{
    for (UINT i = 0; i * sizeof(DdiProc) < bytes; ++i) DdiRawSet(table, bytes, i, &Placeholder10);
}

FakeDevice10* DeviceOf(D3D10DDI_HDEVICE h) { return static_cast<FakeDevice10*>(h.pDrvPrivate); }

// Under the device lock.
FakeResource10* FindLocked(FakeDevice10* device, void* storage)
{
    if (!storage) return nullptr;
    for (FakeResource10& r : device->resources) {
        if (r.storage == storage) return &r;
    }
    return nullptr;
}

BYTE* NewPixels(UINT width, UINT height, UINT* pitch)
{
    *pitch = width * 4;
    unsigned long long bytes = 4ull * width * height;
    if (bytes == 0 || bytes > kMaxPixelBytes) return nullptr;
    return static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(bytes)));
}

// Adds a resource under `storage`; false when the table is full.
bool AddResource(FakeDevice10* device, const FakeResource10& resource)
{
    EnterCriticalSection(&device->lock);
    bool added = false;
    for (FakeResource10& r : device->resources) {
        if (r.storage) continue;
        r = resource;
        added = true;
        break;
    }
    LeaveCriticalSection(&device->lock);
    return added;
}

void FreeResource(FakeDevice10* device, const FakeResource10& r)
{
    if (r.pixels) HeapFree(GetProcessHeap(), 0, r.pixels);
    if (!r.opened) fakeumd::DeallocateAll(device->runtime, r.runtimeHandle, r.allocationCount, r.allocations);
}

// Both creation forms share the 52-byte prefix; `bytes` is the form's size.
void CreateResourceAny(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_CREATERESOURCE* args, UINT bytes,
                       D3D10DDI_HRESOURCE hResource, D3D10DDI_HRTRESOURCE hRtResource)
{
    FakeDevice10* device = DeviceOf(hDevice);
    FakeResource10 r{};
    r.storage = hResource.pDrvPrivate;
    r.runtimeHandle = hRtResource.handle;
    if (args->pPrimaryDesc) {
        r.width = args->pPrimaryDesc->ModeDesc.Width;
        r.height = args->pPrimaryDesc->ModeDesc.Height;
    } else if (args->pMipInfoList) {
        r.width = args->pMipInfoList[0].TexelWidth;
        r.height = args->pMipInfoList[0].TexelHeight;
    }

    UINT count = args->ArraySize ? args->ArraySize : 1;
    if (count > kMaxAllocations) count = kMaxAllocations;
    D3DDDI_ALLOCATIONINFO infos[kMaxAllocations] = {};
    for (UINT i = 0; i < count; ++i) {
        infos[i].VidPnSourceId = args->pPrimaryDesc ? args->pPrimaryDesc->VidPnSourceId : 0;
        infos[i].Flags = args->pPrimaryDesc ? kAllocationFlagPrimary : 0;
    }
    UINT made = 0;
    if (SUCCEEDED(fakeumd::Allocate(device->runtime, hRtResource.handle, count, infos))) {
        made = count;
        r.allocationCount = count;
        for (UINT i = 0; i < count; ++i) r.allocations[i] = infos[i].hAllocation;
    }
    r.pixels = NewPixels(r.width, r.height, &r.pitch);
    if (!AddResource(device, r)) {
        FreeResource(device, r);
        made = 0;
    }
    Record10(kCallCreateResource10, hDevice.pDrvPrivate, hResource.pDrvPrivate, made, args, bytes);
}

void APIENTRY CreateResource10(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_CREATERESOURCE* args,
                               D3D10DDI_HRESOURCE hResource, D3D10DDI_HRTRESOURCE hRtResource)
{
    CreateResourceAny(hDevice, args, sizeof *args, hResource, hRtResource);
}

void APIENTRY CreateResource11(D3D10DDI_HDEVICE hDevice, const D3D11DDIARG_CREATERESOURCE* args,
                               D3D10DDI_HRESOURCE hResource, D3D10DDI_HRTRESOURCE hRtResource)
{
    CreateResourceAny(hDevice, reinterpret_cast<const D3D10DDIARG_CREATERESOURCE*>(args), sizeof *args, hResource,
                      hRtResource);
}

SIZE_T APIENTRY CalcPrivateResourceSize10(D3D10DDI_HDEVICE, const D3D10DDIARG_CREATERESOURCE*)
{
    return kPrivateResourceSize;
}

void APIENTRY OpenResource10(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_OPENRESOURCE* args,
                             D3D10DDI_HRESOURCE hResource, D3D10DDI_HRTRESOURCE hRtResource)
{
    FakeDevice10* device = DeviceOf(hDevice);
    const FakeUmdConfig* config = FakeUmd_Config();
    FakeResource10 r{};
    r.storage = hResource.pDrvPrivate;
    r.runtimeHandle = hRtResource.handle;
    r.opened = 1;
    r.width = config->openedWidth ? config->openedWidth : 1024;
    r.height = config->openedHeight ? config->openedHeight : 768;
    if (args->NumAllocations && args->pOpenAllocationInfo) {
        r.allocationCount = 1;
        r.allocations[0] = args->pOpenAllocationInfo[0].hAllocation;
    }
    r.pixels = NewPixels(r.width, r.height, &r.pitch);
    if (!AddResource(device, r)) FreeResource(device, r);
    Record10(kCallOpenResource10, hDevice.pDrvPrivate, hResource.pDrvPrivate, r.allocationCount, args, sizeof *args);
}

void APIENTRY DestroyResource10(D3D10DDI_HDEVICE hDevice, D3D10DDI_HRESOURCE hResource)
{
    FakeDevice10* device = DeviceOf(hDevice);
    Record10(kCallDestroyResource10, hDevice.pDrvPrivate, hResource.pDrvPrivate, 0, nullptr, 0);
    FakeResource10 found{};
    EnterCriticalSection(&device->lock);
    if (FakeResource10* r = FindLocked(device, hResource.pDrvPrivate)) {
        found = *r;
        *r = FakeResource10{};
    }
    LeaveCriticalSection(&device->lock);
    if (found.storage) FreeResource(device, found);
}

void APIENTRY StagingResourceMap10(D3D10DDI_HDEVICE hDevice, D3D10DDI_HRESOURCE hResource, UINT subresource,
                                   UINT mapType, UINT mapFlags, D3D10DDI_MAPPED_SUBRESOURCE* mapped)
{
    FakeDevice10* device = DeviceOf(hDevice);
    UINT args[3] = {subresource, mapType, mapFlags};
    Record10(kCallStagingMap10, hDevice.pDrvPrivate, hResource.pDrvPrivate, 0, args, sizeof args);
    if (!mapped) return;
    *mapped = D3D10DDI_MAPPED_SUBRESOURCE{};
    EnterCriticalSection(&device->lock);
    if (FakeResource10* r = FindLocked(device, hResource.pDrvPrivate)) {
        mapped->pData = r->pixels;
        mapped->RowPitch = r->pixels ? r->pitch : 0;
        mapped->DepthPitch = r->pixels ? r->pitch * r->height : 0;
    }
    LeaveCriticalSection(&device->lock);
}

void APIENTRY StagingResourceUnmap10(D3D10DDI_HDEVICE hDevice, D3D10DDI_HRESOURCE hResource, UINT subresource)
{
    Record10(kCallStagingUnmap10, hDevice.pDrvPrivate, hResource.pDrvPrivate, subresource, nullptr, 0);
}

void APIENTRY ResourceCopy10(D3D10DDI_HDEVICE hDevice, D3D10DDI_HRESOURCE dst, D3D10DDI_HRESOURCE src)
{
    Record10(kCallResourceCopy10, dst.pDrvPrivate, src.pDrvPrivate, 0, nullptr, 0);
    const FakeUmdConfig* config = FakeUmd_Config();
    if (config->onResourceCopy) config->onResourceCopy(config->onResourceCopyContext);
    CopyPixels(DeviceOf(hDevice), dst.pDrvPrivate, src.pDrvPrivate, 0, 0);
}

void APIENTRY Flush10(D3D10DDI_HDEVICE hDevice)
{
    Record10(kCallFlush10, hDevice.pDrvPrivate, nullptr, 1, nullptr, 0);
    fakeumd::SubmitCommand(DeviceOf(hDevice)->runtime);
}

// From Interface 0xB000F on the flush takes flags.
void APIENTRY Flush11_1(D3D10DDI_HDEVICE hDevice, UINT flags)
{
    Record10(kCallFlush10, hDevice.pDrvPrivate, nullptr, 2, &flags, sizeof flags);
    fakeumd::SubmitCommand(DeviceOf(hDevice)->runtime);
}

void APIENTRY DestroyDevice10(D3D10DDI_HDEVICE hDevice)
{
    FakeDevice10* device = DeviceOf(hDevice);
    Record10(kCallDestroyDevice10, hDevice.pDrvPrivate, nullptr, 0, nullptr, 0);
    for (FakeResource10& r : device->resources) {
        if (!r.storage) continue;
        FakeResource10 copy = r;
        r = FakeResource10{};
        FreeResource(device, copy);
    }
    DeleteCriticalSection(&device->lock);
    device->~FakeDevice10();
}

}  // namespace

void Record10(int kind, void* in, void* out, UINT count, const void* args, UINT argBytes)
{
    FakeUmdCall call = fakeumd::NewCall(kind, in, out, count);
    if (args) {
        call.argBytes = argBytes < sizeof call.args ? argBytes : sizeof call.args;
        std::memcpy(call.args, args, call.argBytes);
    }
    FakeUmd_Record(&call);
}

D3DKMT_HANDLE FirstAllocationOf(FakeDevice10* device, void* storage)
{
    EnterCriticalSection(&device->lock);
    FakeResource10* r = FindLocked(device, storage);
    D3DKMT_HANDLE h = (r && r->allocationCount) ? r->allocations[0] : 0;
    LeaveCriticalSection(&device->lock);
    return h;
}

void RenderFrame(FakeDevice10* device, void* storage, UINT seed)
{
    EnterCriticalSection(&device->lock);
    if (FakeResource10* r = FindLocked(device, storage); r && r->pixels) {
        for (UINT y = 0; y < r->height; ++y) {
            auto* row = reinterpret_cast<UINT*>(r->pixels + static_cast<SIZE_T>(y) * r->pitch);
            for (UINT x = 0; x < r->width; ++x) row[x] = seed + y * 65536u + x;
        }
    }
    LeaveCriticalSection(&device->lock);
}

void CopyPixels(FakeDevice10* device, void* dst, void* src, UINT right, UINT bottom)
{
    EnterCriticalSection(&device->lock);
    FakeResource10* d = FindLocked(device, dst);
    FakeResource10* s = FindLocked(device, src);
    if (d && s && d->pixels && s->pixels && d != s) {
        UINT w = d->width < s->width ? d->width : s->width;
        UINT h = d->height < s->height ? d->height : s->height;
        if (right && right < w) w = right;
        if (bottom && bottom < h) h = bottom;
        for (UINT y = 0; y < h; ++y)
            std::memcpy(d->pixels + static_cast<SIZE_T>(y) * d->pitch, s->pixels + static_cast<SIZE_T>(y) * s->pitch,
                        static_cast<SIZE_T>(w) * 4);
    }
    LeaveCriticalSection(&device->lock);
}

SIZE_T APIENTRY CalcPrivateDeviceSize(D3D10DDI_HADAPTER, const D3D10DDIARG_CALCPRIVATEDEVICESIZE*)
{
    return sizeof(FakeDevice10);
}

HRESULT APIENTRY CreateDevice(D3D10DDI_HADAPTER hAdapter, D3D10DDIARG_CREATEDEVICE* args)
{
    const FakeUmdConfig* config = FakeUmd_Config();
    fakeumd::RecordCall(kCallCreateDevice10, args->Interface, args->Version, hAdapter.pDrvPrivate,
                        args->hDrvDevice.pDrvPrivate, args->pKTCallbacks, args->pDeviceFuncs);
    if (FAILED(config->createDeviceResult)) return config->createDeviceResult;

    auto* device = new (args->hDrvDevice.pDrvPrivate) FakeDevice10{};
    // The table follows the Interface (Version is a build number); for an
    // Interface newer than any known table the driver uses the newest known.
    const UINT umdVersion = UmdVersionForD3d10Interface(args->Interface);
    device->runtime = fakeumd::RuntimeDeviceFor(args->hRTDevice.handle, args->pKTCallbacks,
                                                umdVersion ? umdVersion : kUmdVersionWddm2_2);
    device->dxgiCallbacks = args->DXGIBaseDDI.pDXGIBaseCallbacks;
    device->iface = args->Interface;
    InitializeCriticalSection(&device->lock);
    fakeumd::AllocateInternal(device->runtime, config->allocationsAtCreateDevice);

    const D3d10InterfaceLayout layout = D3d10LayoutForInterface(args->Interface);
    void* funcs = args->pDeviceFuncs;
    const UINT bytes = layout.deviceFuncsBytes;
    FillTable(funcs, bytes);
    DdiRawSet(funcs, bytes, kD3d10StagingResourceMap, &StagingResourceMap10);
    DdiRawSet(funcs, bytes, kD3d10StagingResourceUnmap, &StagingResourceUnmap10);
    if (args->Interface >= kD3d11FlushTakesFlagsFrom) DdiRawSet(funcs, bytes, kD3d10Flush, &Flush11_1);
    else DdiRawSet(funcs, bytes, kD3d10Flush, &Flush10);
    DdiRawSet(funcs, bytes, kD3d10ResourceCopy, &ResourceCopy10);
    DdiRawSet(funcs, bytes, kD3d10CalcPrivateResourceSize, &CalcPrivateResourceSize10);
    if (layout.createResourceBytes == sizeof(D3D11DDIARG_CREATERESOURCE))
        DdiRawSet(funcs, bytes, kD3d10CreateResource, &CreateResource11);
    else DdiRawSet(funcs, bytes, kD3d10CreateResource, &CreateResource10);
    DdiRawSet(funcs, bytes, kD3d10OpenResource, &OpenResource10);
    DdiRawSet(funcs, bytes, kD3d10DestroyResource, &DestroyResource10);
    if (config->leaveDestroyDeviceEmpty) DdiRawSet(funcs, bytes, kD3d10DestroyDevice, static_cast<DdiProc>(nullptr));
    else DdiRawSet(funcs, bytes, kD3d10DestroyDevice, &DestroyDevice10);
    if (args->DXGIBaseDDI.pDXGIDDIBaseFunctions)
        InstallDxgiFunctions(args->DXGIBaseDDI.pDXGIDDIBaseFunctions, layout.dxgiFuncsBytes);
    return S_OK;
}

}  // namespace fakeumd10
