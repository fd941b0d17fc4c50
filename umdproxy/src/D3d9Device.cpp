// D3D9 device creation and destruction. Runs on the runtime's threads; no
// lock is held while the real driver runs.
#include "D3d9Device.h"

#include <cstring>
#include <new>

#include "SystemSeams.h"

namespace brisel {

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

    const D3DDDI_DEVICECALLBACKS* runtimeCallbacks = pArgs->pCallbacks;
    const UINT runtimeVersion = pArgs->Version;
    pArgs->pCallbacks = CopyDeviceCallbacks(device, runtimeCallbacks, runtimeVersion);
    std::memcpy(&device->createArgs, pArgs, kD3d9CreateDeviceBaseSize);
    if (pArgs->Version > kD3d9MaxRuntimeVersion) pArgs->Version = kD3d9MaxRuntimeVersion;

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
    const UINT bytes = device.realDeviceFuncsBytes;
    if (device.Real<PFND3DDDI_DESTROYDEVICE>(kD3d9DestroyDevice))
        DdiRawSet(runtimeFuncs, bytes, kD3d9DestroyDevice, &D3d9DestroyDeviceWrapper);
}

HRESULT APIENTRY D3d9DestroyDeviceWrapper(HANDLE hDevice)
{
    auto* device = static_cast<D3d9DeviceRecord*>(FindDeviceByDriver(hDevice));
    if (!device) return E_INVALIDARG;
    auto realDestroy = device->Real<PFND3DDDI_DESTROYDEVICE>(kD3d9DestroyDevice);
    // No longer found by its driver handle (the driver may hand the same value
    // to the next device), but still by its runtime handle: the real driver
    // may call the wrapped callbacks while it tears the device down.
    DeviceList().Locked([device] { device->isCreated = 0; });
    HRESULT hr = realDestroy ? realDestroy(device->driverDevice) : S_OK;
    DestroyDeviceRecord(device);
    return hr;
}

}  // namespace brisel
