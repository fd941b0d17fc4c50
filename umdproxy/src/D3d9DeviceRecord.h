// The record of one D3D9 device: the common DeviceRecord with the runtime's
// creation arguments and the copy of the real driver's device functions, and
// its lookup. Included by every file that wraps a D3D9 device function; the
// creation itself is D3d9Device.h's. Runs on the runtime's threads.
#pragma once

#include "DeviceRecord.h"
#include "ddi/D3d9Ddi.h"

namespace brisel {

struct D3d9DeviceRecord : DeviceRecord {
    D3d9DeviceRecord() noexcept { api = DeviceApi::D3d9; }
    // The runtime's arguments as passed in (pCallbacks already the wrapped
    // copy, Version not yet capped); only the members every runtime passes.
    D3DDDIARG_CREATEDEVICE createArgs{};
    D3DDDI_DEVICEFUNCS realDeviceFuncs{};
    UINT realDeviceFuncsBytes = 0;

    template <class Fn>
    Fn Real(unsigned entry) const noexcept
    {
        return DdiRawGet<Fn>(&realDeviceFuncs, realDeviceFuncsBytes, entry);
    }
};

// The created D3D9 device whose real driver handle is `driverDevice`, or
// nullptr (unknown handle, or a D3D10/11 device).
inline D3d9DeviceRecord* FindD3d9Device(HANDLE driverDevice) noexcept
{
    DeviceRecord* device = FindDeviceByDriver(driverDevice);
    if (!device || device->api != DeviceApi::D3d9) return nullptr;
    return static_cast<D3d9DeviceRecord*>(device);
}

// A D3D9 device-function wrapper's device and the real driver's entry.
template <class Fn>
ForwardTarget<D3d9DeviceRecord, Fn> FindD3d9Forward(HANDLE driverDevice, unsigned entry) noexcept
{
    D3d9DeviceRecord* device = FindD3d9Device(driverDevice);
    return {device, device ? device->Real<Fn>(entry) : nullptr};
}

}  // namespace brisel
