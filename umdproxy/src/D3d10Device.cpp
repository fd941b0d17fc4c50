// D3D10/11 device creation and destruction. Runs on the runtime's threads; no
// lock is held while the real driver runs.
#include "D3d10Device.h"

#include <cstring>
#include <new>

#include "SystemSeams.h"

namespace brisel {

HRESULT APIENTRY D3d10CreateDeviceWrapper(D3D10DDI_HADAPTER hAdapter, D3D10DDIARG_CREATEDEVICE* pArgs)
{
    if (pArgs && InterfaceMajor(pArgs->Interface) > 11) return E_INVALIDARG;
    AdapterRecord* adapter = FindAdapter(hAdapter.pDrvPrivate);
    if (!adapter) return E_INVALIDARG;
    PFND3D10DDI_CREATEDEVICE realCreate = adapter->realAdapterFuncs.d3d10.pfnCreateDevice;
    if (!realCreate) return E_INVALIDARG;
    const D3D10DDI_HADAPTER driverAdapter{adapter->driverAdapter};
    if (!pArgs || !pArgs->pKTCallbacks || !pArgs->pDeviceFuncs) return realCreate(driverAdapter, pArgs);

    D3d10DeviceRecord* device = SysMayAllocateRecord() ? new (std::nothrow) D3d10DeviceRecord : nullptr;
    if (!device) return E_OUTOFMEMORY;
    device->adapter = adapter;
    device->interfaceVersion = pArgs->Interface;
    device->runtimeDevice = pArgs->hRTDevice.handle;
    device->driverDevice = pArgs->hDrvDevice.pDrvPrivate;
    device->layout = D3d10LayoutForInterface(pArgs->Interface);
    if (pArgs->DXGIBaseDDI.pDXGIBaseCallbacks)
        device->runtimePresentCb =
            DdiTableGet<PFNDDXGIDDI_PRESENTCB>(*pArgs->DXGIBaseDDI.pDXGIBaseCallbacks, kDxgiCbPresent);

    const D3DDDI_DEVICECALLBACKS* runtimeCallbacks = pArgs->pKTCallbacks;
    pArgs->pKTCallbacks = CopyDeviceCallbacks(device, runtimeCallbacks, pArgs->Version);

    InsertDevice(device);
    HRESULT hr = realCreate(driverAdapter, pArgs);
    if (FAILED(hr)) {
        pArgs->pKTCallbacks = runtimeCallbacks;
        DestroyDeviceRecord(device);
        return hr;
    }

    std::memcpy(&device->realDeviceFuncs, pArgs->pDeviceFuncs, device->layout.deviceFuncsBytes);
    if (pArgs->DXGIBaseDDI.pDXGIDDIBaseFunctions)
        std::memcpy(&device->realDxgiFuncs, pArgs->DXGIBaseDDI.pDXGIDDIBaseFunctions, device->layout.dxgiFuncsBytes);
    else
        device->layout.dxgiFuncsBytes = 0;
    DeviceList().Locked([device] { device->isCreated = 1; });
    InstallD3d10DeviceWrappers(*device, *pArgs);
    return S_OK;
}

void InstallD3d10DeviceWrappers(D3d10DeviceRecord& device, D3D10DDIARG_CREATEDEVICE& args) noexcept
{
    if (device.Real<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice))
        DdiRawSet(args.pDeviceFuncs, device.layout.deviceFuncsBytes, kD3d10DestroyDevice, &D3d10DestroyDeviceWrapper);
}

void APIENTRY D3d10DestroyDeviceWrapper(D3D10DDI_HDEVICE hDevice)
{
    auto* device = static_cast<D3d10DeviceRecord*>(FindDeviceByDriver(hDevice.pDrvPrivate));
    if (!device) return;   // nothing known to forward to
    auto realDestroy = device->Real<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice);
    DeviceList().Locked([device] { device->isCreated = 0; });
    if (realDestroy) realDestroy(D3D10DDI_HDEVICE{device->driverDevice});
    DestroyDeviceRecord(device);
}

}  // namespace brisel
