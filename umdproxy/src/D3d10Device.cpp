// D3D10/11 device creation and destruction. Runs on the runtime's threads; no
// lock is held while the real driver runs.
#include "D3d10Device.h"

#include <cstring>
#include <new>

#include "D3d10Resource.h"
#include "DxgiDisplayMode.h"
#include "DxgiPresent.h"
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

    // The driver calls the runtime's present callback through this table:
    // the wrapper takes entry 0 and forwards to the runtime's function, which
    // the table's record keeps when the runtime hands the table to several
    // devices (the entry then already holds the wrapper).
    if (DXGI_DDI_BASE_CALLBACKS* dxgiCallbacks = pArgs->DXGIBaseDDI.pDXGIBaseCallbacks) {
        device->dxgiCallbackTable =
            AcquireDxgiCallbackTable(dxgiCallbacks, &DxgiPresentCbWrapper, &device->runtimePresentCb);
        if (!device->dxgiCallbackTable) {
            delete device;
            return E_OUTOFMEMORY;
        }
    }

    // The Interface says which callback table the runtime provides (Version
    // is a build number). For an Interface newer than any table known here
    // the driver keeps the runtime's own table, so that every entry it may
    // read is there; Brisel then wraps no callback of this device and
    // records none of its allocations (silently: its only text output stays
    // the D3D9 capture's debugger line).
    const D3DDDI_DEVICECALLBACKS* runtimeCallbacks = pArgs->pKTCallbacks;
    const UINT umdVersion = UmdVersionForD3d10Interface(pArgs->Interface);
    pArgs->pKTCallbacks = umdVersion ? CopyDeviceCallbacks(device, runtimeCallbacks, umdVersion, true)
                                     : CopyDeviceCallbacks(device, runtimeCallbacks, kUmdVersionWddm2_2, false);

    InsertDevice(device);
    HRESULT hr = realCreate(driverAdapter, pArgs);
    if (FAILED(hr)) {
        pArgs->pKTCallbacks = runtimeCallbacks;
        DestroyDeviceRecord(device);  // gives the table back
        return hr;
    }

    std::memcpy(&device->realDeviceFuncs, pArgs->pDeviceFuncs, device->layout.deviceFuncsBytes);
    if (pArgs->DXGIBaseDDI.pDXGIDDIBaseFunctions)
        std::memcpy(&device->realDxgiFuncs, pArgs->DXGIBaseDDI.pDXGIDDIBaseFunctions, device->layout.dxgiFuncsBytes);
    else device->layout.dxgiFuncsBytes = 0;
    DeviceList().Locked([device] { device->isCreated = 1; });
    InstallD3d10DeviceWrappers(*device, *pArgs);
    return S_OK;
}

void InstallD3d10DeviceWrappers(D3d10DeviceRecord& device, D3D10DDIARG_CREATEDEVICE& args) noexcept
{
    void* funcs = args.pDeviceFuncs;
    const UINT bytes = device.layout.deviceFuncsBytes;
    if (device.Real<PFND3D10DDI_CREATERESOURCE>(kD3d10CreateResource)) {
        if (device.layout.createResourceBytes == sizeof(D3D11DDIARG_CREATERESOURCE))
            DdiRawSet(funcs, bytes, kD3d10CreateResource, &D3d11CreateResourceWrapper);
        else DdiRawSet(funcs, bytes, kD3d10CreateResource, &D3d10CreateResourceWrapper);
    }
    if (device.Real<PFND3D10DDI_OPENRESOURCE>(kD3d10OpenResource))
        DdiRawSet(funcs, bytes, kD3d10OpenResource, &D3d10OpenResourceWrapper);
    if (device.Real<PFND3D10DDI_DESTROYRESOURCE>(kD3d10DestroyResource))
        DdiRawSet(funcs, bytes, kD3d10DestroyResource, &D3d10DestroyResourceWrapper);
    if (device.Real<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice))
        DdiRawSet(funcs, bytes, kD3d10DestroyDevice, &D3d10DestroyDeviceWrapper);

    void* dxgi = args.DXGIBaseDDI.pDXGIDDIBaseFunctions;
    const UINT dxgiBytes = device.layout.dxgiFuncsBytes;
    if (!dxgi) return;
    if (device.RealDxgi<PFNDXGIDDI_PRESENT>(kDxgiPresent))
        DdiRawSet(dxgi, dxgiBytes, kDxgiPresent, &DxgiPresentWrapper);
    if (device.RealDxgi<PFNDXGIDDI_SETDISPLAYMODE>(kDxgiSetDisplayMode))
        DdiRawSet(dxgi, dxgiBytes, kDxgiSetDisplayMode, &DxgiSetDisplayModeWrapper);
    if (dxgiBytes >= kDxgiPresent1MinBytes && device.RealDxgi<PFNDXGIDDI_PRESENT1>(kDxgiPresent1))
        DdiRawSet(dxgi, dxgiBytes, kDxgiPresent1, &DxgiPresent1Wrapper);
}

void APIENTRY D3d10DestroyDeviceWrapper(D3D10DDI_HDEVICE hDevice)
{
    D3d10DeviceRecord* device = FindD3d10DeviceByDriver(hDevice.pDrvPrivate);
    if (!device) return;  // nothing known to forward to
    auto realDestroy = device->Real<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice);
    // The shadows are the device's resources and their buffers are read by
    // the kernel-mode driver: both go before the device does.
    DestroyRemainingSurfaces(*device);
    DeviceList().Locked([device] { device->isCreated = 0; });
    if (realDestroy) realDestroy(D3D10DDI_HDEVICE{device->driverDevice});
    DestroyDeviceRecord(device);
}

}  // namespace brisel
