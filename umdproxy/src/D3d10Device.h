// D3D10/11 device records and the device-creation wrapper installed in the
// adapter function table by OpenAdapter10 and OpenAdapter10_2. The creation
// copies the runtime's kernel-thunk callbacks (DeviceRecord.h), keeps the
// runtime's DXGI present callback and puts Brisel's in its place (through the
// table's record, DxgiCallbackTables.h, held until the device record is
// deleted), creates the device in the real driver, keeps copies of the real
// device and DXGI function tables sized by the device's Interface and
// installs the wrappers through InstallD3d10DeviceWrappers. Runs on the
// runtime's threads.
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
    DxgiCallbackTable* dxgiCallbackTable = nullptr;   // the record of the runtime's DXGI table

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
D3d10DeviceRecord* FindD3d10DeviceByDriver(HANDLE driverDevice) noexcept;
D3d10DeviceRecord* FindD3d10DeviceByRuntime(HANDLE runtimeDevice) noexcept;

// pfnCreateDevice of a D3D10/11 adapter.
HRESULT APIENTRY D3d10CreateDeviceWrapper(D3D10DDI_HADAPTER hAdapter, D3D10DDIARG_CREATEDEVICE* pArgs);

// Writes Brisel's device-function and DXGI wrappers into the runtime's tables
// after a successful creation. Only entries the real driver filled are replaced.
void InstallD3d10DeviceWrappers(D3d10DeviceRecord& device, D3D10DDIARG_CREATEDEVICE& args) noexcept;

// Device-function entry 99.
void APIENTRY D3d10DestroyDeviceWrapper(D3D10DDI_HDEVICE hDevice);

}  // namespace brisel
