// D3D9 capture test fixture (see D3d9TestSupport.h).
#include "D3d9TestSupport.h"

#include <mutex>

#include "KmdFormats.h"
#include "SystemSeams.h"

namespace umdtest {

namespace {

std::mutex s_seamMutex;
int s_mmcssCalls = 0;
std::vector<std::string> s_debugLines;

HRESULT SeamMmcss(BOOL enable)
{
    std::lock_guard<std::mutex> lock(s_seamMutex);
    if (enable) ++s_mmcssCalls;
    return S_OK;
}

void SeamDebugString(const char* text)
{
    std::lock_guard<std::mutex> lock(s_seamMutex);
    s_debugLines.emplace_back(text);
}

}  // namespace

int D3d9Test::MmcssCalls()
{
    std::lock_guard<std::mutex> lock(s_seamMutex);
    return s_mmcssCalls;
}

std::vector<std::string> D3d9Test::DebugLines()
{
    std::lock_guard<std::mutex> lock(s_seamMutex);
    return s_debugLines;
}

void D3d9Test::SetUp()
{
    UmdTest::SetUp();
    FakeD3d9_Reset();
    {
        std::lock_guard<std::mutex> lock(s_seamMutex);
        s_mmcssCalls = 0;
        s_debugLines.clear();
    }
    brisel::TestOverrides().pfnDwmEnableMmcss = &SeamMmcss;
    brisel::TestOverrides().pfnOutputDebugString = &SeamDebugString;
}

void D3d9Test::TearDown()
{
    for (auto& device : m_devices) {
        if (device && SUCCEEDED(device->hr)) {
            EXPECT_EQ(device->Destroy(), S_OK);
        }
    }
    m_devices.clear();
    if (m_adapter && SUCCEEDED(m_adapter->hr)) {
        EXPECT_EQ(m_adapter->Close(), S_OK);
    }
    m_adapter.reset();
    UmdTest::TearDown();
}

fakes::Adapter9& D3d9Test::Adapter()
{
    if (!m_adapter) {
        m_adapter = fakes::OpenAdapter9(m_entries);
        EXPECT_EQ(m_adapter->hr, S_OK);
    }
    return *m_adapter;
}

std::unique_ptr<fakes::Adapter9> D3d9Test::OpenExtraAdapter()
{
    auto adapter = fakes::OpenAdapter9(m_entries);
    EXPECT_EQ(adapter->hr, S_OK);
    return adapter;
}

fakes::Device9& D3d9Test::NewDevice(UINT version)
{
    m_devices.push_back(fakes::CreateDevice9(Adapter(), version));
    EXPECT_EQ(m_devices.back()->hr, S_OK);
    return *m_devices.back();
}

brisel::D3d9DeviceRecord* D3d9Test::RecordOf(const fakes::Device9& device)
{
    return brisel::FindD3d9Device(device.args.hDevice);
}

Created9 D3d9Test::Create(fakes::Device9& device, const ResourceDesc& desc)
{
    Created9 c;
    c.runtimeHandle = fakes::NewRuntimeHandle();
    c.surface = D3DDDI_SURFACEINFO{desc.width, desc.height, 0, nullptr, 0, 0};
    c.args.Format = desc.format;
    c.args.Pool = 0;
    c.args.pSurfList = &c.surface;
    c.args.SurfCount = 1;
    c.args.MipLevels = 1;
    c.args.VidPnSourceId = desc.sourceId;
    c.args.RefreshRate = {desc.refreshNumerator, desc.refreshDenominator};
    c.args.hResource = c.runtimeHandle;
    c.args.Flags = desc.flags;
    c.args.Rotation = kD3d9RotationIdentity;
    c.args.Flags2 = desc.flags2;
    if (desc.create2) {
        c.hr = device.Func<PFND3DDDI_CREATERESOURCE2>(kD3d9CreateResource2)(device.args.hDevice, &c.args);
    } else {
        auto* args = reinterpret_cast<D3DDDIARG_CREATERESOURCE*>(&c.args);
        c.hr = device.Func<PFND3DDDI_CREATERESOURCE>(kD3d9CreateResource)(device.args.hDevice, args);
    }
    return c;
}

HRESULT D3d9Test::Destroy(fakes::Device9& device, HANDLE resource)
{
    return device.Func<PFND3DDDI_DESTROYRESOURCE>(kD3d9DestroyResource)(device.args.hDevice, resource);
}

HRESULT D3d9Test::Present(fakes::Device9& device, HANDLE source, UINT flags)
{
    D3DDDIARG_PRESENT present{};
    present.hSrcResource = source;
    present.Flags = flags;
    return device.Func<PFND3DDDI_PRESENT>(kD3d9Present)(device.args.hDevice, &present);
}

HRESULT D3d9Test::Present1(fakes::Device9& device, HANDLE source, UINT flags)
{
    D3DDDIARG_PRESENTSURFACE surface{source, 0};
    D3DDDIARG_PRESENT1 present{};
    present.phSrcResources = &surface;
    present.SrcResources = 1;
    present.Flags = flags;
    return device.Func<PFND3DDDI_PRESENT1>(kD3d9Present1)(device.args.hDevice, &present);
}

HRESULT D3d9Test::Open(fakes::Device9& device, D3DKMT_HANDLE allocation, UINT flags, HANDLE* driverHandle)
{
    D3DDDI_OPENALLOCATIONINFO info{allocation, nullptr, 0};
    D3DDDIARG_OPENRESOURCE open{};
    open.NumAllocations = 1;
    open.pOpenAllocationInfo = &info;
    open.hKMResource = 0x4242;
    open.hResource = fakes::NewRuntimeHandle();
    open.Rotation = kD3d9RotationIdentity;
    open.Flags = flags;
    HRESULT hr = device.Func<PFND3DDDI_OPENRESOURCE>(kD3d9OpenResource)(device.args.hDevice, &open);
    if (driverHandle) *driverHandle = open.hResource;
    return hr;
}

std::vector<FakeD3d9Call> D3d9Test::D3d9Calls(int kind)
{
    std::vector<FakeD3d9Call> calls;
    FakeD3d9Call call;
    for (unsigned i = 0; FakeD3d9_GetCall(i, &call); ++i) {
        if (call.kind == kind) calls.push_back(call);
    }
    return calls;
}

std::vector<FakeD3d9Call> D3d9Test::ShadowCreations()
{
    std::vector<FakeD3d9Call> calls;
    FakeD3d9Call call;
    for (unsigned i = 0; FakeD3d9_GetCall(i, &call); ++i) {
        const bool creation = call.kind == kD3d9CallCreateResource || call.kind == kD3d9CallCreateResource2;
        if (creation && call.pool == kD3d9PoolSystemMem) calls.push_back(call);
    }
    return calls;
}

std::vector<D3DKMT_HANDLE> D3d9Test::AllocationsOf(HANDLE runtimeResource)
{
    std::vector<D3DKMT_HANDLE> handles;
    for (const auto& a : fakes::RuntimeLogSnapshot().allocates) {
        if (a.hResource != runtimeResource) continue;
        for (const auto& info : a.infos) handles.push_back(info.hAllocation);
    }
    return handles;
}

bool IsReleased(const void* address)
{
    MEMORY_BASIC_INFORMATION info{};
    if (!VirtualQuery(address, &info, sizeof info)) return false;
    return info.State == MEM_FREE;
}

}  // namespace umdtest
