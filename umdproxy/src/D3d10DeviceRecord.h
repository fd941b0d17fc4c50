// The record of one D3D10/11 device: the common DeviceRecord with the layout
// of its Interface, the copies of the real driver's device and DXGI function
// tables, and the runtime's DXGI present callback; and its lookups. Included
// by every file that wraps a D3D10/11 or DXGI function; the creation itself
// is D3d10Device.h's. Runs on the runtime's threads.
#pragma once

#include "DeviceRecord.h"
#include "DxgiCallbackTables.h"
#include "ddi/D3d10Ddi.h"

namespace brisel {

struct D3d10DeviceRecord : DeviceRecord {
    D3d10DeviceRecord() noexcept { api = DeviceApi::D3d10; }
    ~D3d10DeviceRecord() override { ReleaseDxgiCallbackTable(dxgiCallbackTable); }
    D3d10InterfaceLayout layout{};
    D3D10DDI_DEVICEFUNCS realDeviceFuncs{};
    DXGI_DDI_BASE_FUNCTIONS realDxgiFuncs{};
    PFNDDXGIDDI_PRESENTCB runtimePresentCb = nullptr;
    DxgiCallbackTable* dxgiCallbackTable = nullptr;  // the record of the runtime's DXGI table

    template <class Fn>
    Fn Real(unsigned entry) const noexcept
    {
        return DdiRawGet<Fn>(&realDeviceFuncs, layout.deviceFuncsBytes, entry);
    }
    template <class Fn>
    Fn RealDxgi(unsigned entry) const noexcept
    {
        return DdiRawGet<Fn>(&realDxgiFuncs, layout.dxgiFuncsBytes, entry);
    }
};

// Device-list lookups restricted to D3D10/11 records.
inline D3d10DeviceRecord* AsD3d10Device(DeviceRecord* device) noexcept
{
    return (device && device->api == DeviceApi::D3d10) ? static_cast<D3d10DeviceRecord*>(device) : nullptr;
}
inline D3d10DeviceRecord* FindD3d10DeviceByDriver(HANDLE driverDevice) noexcept
{
    return AsD3d10Device(FindDeviceByDriver(driverDevice));
}
inline D3d10DeviceRecord* FindD3d10DeviceByRuntime(HANDLE runtimeDevice) noexcept
{
    return AsD3d10Device(FindDeviceByRuntime(runtimeDevice));
}

// A DXGI function wrapper's device and the real driver's DXGI entry.
template <class Fn>
ForwardTarget<D3d10DeviceRecord, Fn> FindDxgiForward(HANDLE driverDevice, unsigned entry) noexcept
{
    D3d10DeviceRecord* device = FindD3d10DeviceByDriver(driverDevice);
    return {device, device ? device->RealDxgi<Fn>(entry) : nullptr};
}

}  // namespace brisel
