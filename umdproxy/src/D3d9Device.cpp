// D3D9 device creation and destruction, and the table of wrapped device
// functions. Runs on the runtime's threads; no lock is held while the real
// driver runs.
#include "D3d9Device.h"

#include <cstring>
#include <new>

#include "D3d9Present.h"
#include "D3d9Resources.h"
#include "SurfaceCapture.h"
#include "SystemSeams.h"

namespace brisel {

namespace {

// Runtime Versions from which the late entries exist and are wrapped.
constexpr UINT kVersionCreateResource2 = 0x3004;  // also pfnCheckDirectFlipSupport
constexpr UINT kVersionPresent1 = 0x4002;

// One wrapped entry of D3DDDI_DEVICEFUNCS.
struct WrappedEntry {
    unsigned entry;
    UINT minVersion;  // the runtime's Version from which it is installed
    DdiProc wrapper;
};

template <class Fn>
DdiProc AsProc(Fn fn) noexcept
{
    return reinterpret_cast<DdiProc>(fn);
}

// Surfaces whose resources the application never destroyed: the kernel-mode
// driver is told to stop reading their buffers and their shadow resources
// are destroyed while the device still exists; DestroyDeviceRecord frees the
// buffers afterwards.
void ReleaseLeftoverSurfaces(D3d9DeviceRecord& device) noexcept
{
    auto destroy = device.Real<PFND3DDDI_DESTROYRESOURCE>(kD3d9DestroyResource);
    for (;;) {
        TrackedSurface* surface;
        {
            CLockGuard guard(device.trackedLock);
            surface = device.trackedHead;
        }
        if (!surface) return;
        ReleaseSurfaceAllocations(device, *surface);
        if (surface->shadowResource && destroy) destroy(device.driverDevice, surface->shadowResource);
        DropTrackedSurface(device, surface);
    }
}

}  // namespace

HRESULT APIENTRY D3d9CreateDeviceWrapper(HANDLE hAdapter, D3DDDIARG_CREATEDEVICE* pArgs)
{
    AdapterRecord* adapter = FindAdapter(hAdapter);
    if (!adapter) return E_INVALIDARG;
    PFND3DDDI_CREATEDEVICE realCreate = adapter->realAdapterFuncs.d3d9.pfnCreateDevice;
    if (!realCreate) return E_INVALIDARG;
    // Without callbacks or a function table there is nothing to wrap: the real
    // driver answers such a call itself.
    if (!pArgs || !pArgs->pCallbacks || !pArgs->pDeviceFuncs) return realCreate(adapter->driverAdapter, pArgs);

    D3d9DeviceRecord* device = SysMayAllocateRecord() ? new (std::nothrow) D3d9DeviceRecord : nullptr;
    if (!device) return E_OUTOFMEMORY;
    device->adapter = adapter;
    device->interfaceVersion = pArgs->Interface;
    device->runtimeDevice = pArgs->hDevice;

    // The driver is told at most kD3d9MaxRuntimeVersion and receives exactly
    // the callback table of the version it is told.
    const D3DDDI_DEVICECALLBACKS* runtimeCallbacks = pArgs->pCallbacks;
    const UINT runtimeVersion = pArgs->Version;
    const UINT shownVersion = runtimeVersion < kD3d9MaxRuntimeVersion ? runtimeVersion : kD3d9MaxRuntimeVersion;
    pArgs->pCallbacks = CopyDeviceCallbacks(device, runtimeCallbacks, shownVersion, true);
    // A WDDM 1.x driver under a newer runtime still passes 24-byte entries.
    device->allocationInfo2 = D3d9AllocationInfo2(shownVersion, adapter->driverVersion);
    std::memcpy(&device->createArgs, pArgs, kD3d9CreateDeviceBaseSize);
    pArgs->Version = shownVersion;

    InsertDevice(device);
    HRESULT hr = realCreate(adapter->driverAdapter, pArgs);
    if (FAILED(hr)) {
        // The runtime's argument must not keep pointing into the freed record.
        pArgs->pCallbacks = runtimeCallbacks;
        pArgs->Version = runtimeVersion;
        DestroyDeviceRecord(device);
        return hr;
    }

    device->driverDevice = pArgs->hDevice;
    device->realDeviceFuncsBytes = D3d9DeviceFuncsSizeForVersion(pArgs->Version);
    std::memcpy(&device->realDeviceFuncs, pArgs->pDeviceFuncs, device->realDeviceFuncsBytes);
    DeviceList().Locked([device] { device->isCreated = 1; });
    InstallD3d9DeviceWrappers(*device, pArgs->pDeviceFuncs);
    return hr;
}

void InstallD3d9DeviceWrappers(D3d9DeviceRecord& device, D3DDDI_DEVICEFUNCS* runtimeFuncs) noexcept
{
    const WrappedEntry wrapped[] = {
        {kD3d9CreateResource, 0, AsProc(&D3d9CreateResourceWrapper)},
        {kD3d9DestroyResource, 0, AsProc(&D3d9DestroyResourceWrapper)},
        {kD3d9SetDisplayMode, 0, AsProc(&D3d9SetDisplayModeWrapper)},
        {kD3d9Present, 0, AsProc(&D3d9PresentWrapper)},
        {kD3d9DestroyDevice, 0, AsProc(&D3d9DestroyDeviceWrapper)},
        {kD3d9OpenResource, 0, AsProc(&D3d9OpenResourceWrapper)},
        {kD3d9CheckDirectFlipSupport, kVersionCreateResource2, AsProc(&D3d9CheckDirectFlipSupportWrapper)},
        {kD3d9CreateResource2, kVersionCreateResource2, AsProc(&D3d9CreateResource2Wrapper)},
        {kD3d9Present1, kVersionPresent1, AsProc(&D3d9Present1Wrapper)},
    };
    const UINT bytes = device.realDeviceFuncsBytes;
    const UINT version = device.createArgs.Version;
    for (const WrappedEntry& w : wrapped) {
        // An entry the real driver left empty stays empty: its wrapper would
        // have nothing to call.
        if (version < w.minVersion || !device.Real<DdiProc>(w.entry)) continue;
        DdiRawSet(runtimeFuncs, bytes, w.entry, w.wrapper);
    }
}

HRESULT APIENTRY D3d9DestroyDeviceWrapper(HANDLE hDevice)
{
    D3d9DeviceRecord* device = FindD3d9Device(hDevice);
    if (!device) return E_INVALIDARG;
    auto realDestroy = device->Real<PFND3DDDI_DESTROYDEVICE>(kD3d9DestroyDevice);
    // No longer found by its driver handle (the driver may hand the same value
    // to the next device), but still by its runtime handle: the real driver
    // may call the wrapped callbacks while it tears the device down.
    DeviceList().Locked([device] { device->isCreated = 0; });
    ReleaseLeftoverSurfaces(*device);
    HRESULT hr = realDestroy ? realDestroy(device->driverDevice) : S_OK;
    DestroyDeviceRecord(device);
    return hr;
}

}  // namespace brisel
