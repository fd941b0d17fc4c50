// Fixture of the D3D9 capture tests: opens a D3D9 adapter through Brisel
// onto the fake vendor driver, creates devices, creates, opens, presents and
// destroys resources through the runtime's (wrapped) device table, scripts
// the fake kernel-mode driver's answers and counts DwmEnableMMCSS calls and
// debugger lines through Brisel's seams. Runs on the test's main thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "D3d9Device.h"
#include "FakeUmdD3d9State.h"
#include "UmdTestSupport.h"

namespace umdtest {

// A resource the application created: the runtime's argument and surface
// as the driver left them, and the handle the runtime got back.
struct Created9 {
    HRESULT hr = E_FAIL;
    HANDLE runtimeHandle = nullptr;
    D3DDDI_SURFACEINFO surface{};
    D3DDDIARG_CREATERESOURCE2 args{};  // the first 56 bytes are D3DDDIARG_CREATERESOURCE
    HANDLE Handle() const { return args.hResource; }
};

struct ResourceDesc {
    UINT flags = kD3d9ResPrimary | kD3d9ResRenderTarget;
    UINT width = 1920;
    UINT height = 1080;
    UINT sourceId = 1;
    UINT format = 21;  // D3DDDIFMT_A8R8G8B8
    UINT refreshNumerator = 60000;
    UINT refreshDenominator = 1001;
    UINT flags2 = 0;
    bool create2 = false;  // entry 128 instead of 37
};

class D3d9Test : public UmdTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the adapter (once) and creates a device of that runtime Version.
    fakes::Adapter9& Adapter();
    fakes::Device9& NewDevice(UINT version = 0x6003);
    std::unique_ptr<fakes::Adapter9> OpenExtraAdapter();
    brisel::D3d9DeviceRecord* RecordOf(const fakes::Device9& device);

    Created9 Create(fakes::Device9& device, const ResourceDesc& desc = {});
    HRESULT Destroy(fakes::Device9& device, HANDLE resource);
    HRESULT Present(fakes::Device9& device, HANDLE source, UINT flags);
    HRESULT Present1(fakes::Device9& device, HANDLE source, UINT flags);
    HRESULT Open(fakes::Device9& device, D3DKMT_HANDLE allocation, UINT flags, HANDLE* driverHandle);

    std::vector<FakeD3d9Call> D3d9Calls(int kind);
    // Creations in system memory (Brisel's shadow surfaces), either entry.
    std::vector<FakeD3d9Call> ShadowCreations();
    // Allocation handles the runtime handed out for one application resource.
    std::vector<D3DKMT_HANDLE> AllocationsOf(HANDLE runtimeResource);

    static int MmcssCalls();
    static std::vector<std::string> DebugLines();

    std::unique_ptr<fakes::Adapter9> m_adapter;
    std::vector<std::unique_ptr<fakes::Device9>> m_devices;
};

// Whether the memory at `address` has been given back to the system.
bool IsReleased(const void* address);

}  // namespace umdtest
