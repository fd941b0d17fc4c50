// D3D10/11 test fixture (see D3d10TestSupport.h).
#include "D3d10TestSupport.h"

#include <cstring>

#include "KmdFormats.h"

namespace umdtest {

void D3d10Test::TearDown()
{
    CloseAll();
    EXPECT_EQ(brisel::PresentContextsOut(), 0u) << "present context left behind";
    UmdTest::TearDown();
}

void D3d10Test::Open(UINT iface, UINT vendor, bool fallbackMode)
{
    fakes::KmdAdapterConfig c = DefaultAdapter();
    c.vendorId = vendor;
    c.firstProxySourceId = kFirstProxySource;
    c.fallbackMode = fallbackMode ? 1 : 0;
    Kmd().SetAdapter(c);
    m_adapter = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(m_adapter->hr, S_OK);
    m_device = fakes::CreateDevice10(*m_adapter, iface);
    ASSERT_EQ(m_device->hr, S_OK);
}

void D3d10Test::DestroyDevice()
{
    if (m_device && m_device->hr == S_OK) m_device->Destroy();
    m_device.reset();
}

void D3d10Test::CloseAll()
{
    DestroyDevice();
    if (m_adapter && m_adapter->hr == S_OK) {
        EXPECT_EQ(m_adapter->Close(), S_OK);
    }
    m_adapter.reset();
}

namespace {

void CallCreate(fakes::Device10& device, const D3D11DDIARG_CREATERESOURCE& arg, void* storage, HANDLE runtime)
{
    const D3d10InterfaceLayout layout = D3d10LayoutForInterface(device.args.Interface);
    if (layout.createResourceBytes == sizeof(D3D11DDIARG_CREATERESOURCE)) {
        device.Func<PFND3D11DDI_CREATERESOURCE>(kD3d10CreateResource)(
            device.args.hDrvDevice, &arg, D3D10DDI_HRESOURCE{storage}, D3D10DDI_HRTRESOURCE{runtime});
    } else {
        // A 52-byte argument, as a 10.x runtime passes it.
        D3D10DDIARG_CREATERESOURCE small;
        std::memcpy(&small, &arg, sizeof small);
        device.Func<PFND3D10DDI_CREATERESOURCE>(kD3d10CreateResource)(
            device.args.hDrvDevice, &small, D3D10DDI_HRESOURCE{storage}, D3D10DDI_HRTRESOURCE{runtime});
    }
}

// A B8G8R8A8 2D texture of one mip level and one array slice.
D3D11DDIARG_CREATERESOURCE TextureArg(const D3D10DDI_MIPINFO& mip, UINT bindFlags)
{
    D3D11DDIARG_CREATERESOURCE arg{};
    arg.pMipInfoList = &mip;
    arg.ResourceDimension = kD3d10ResourceTexture2D;
    arg.BindFlags = bindFlags;
    arg.Format = kDxgiFormatB8G8R8A8Unorm;
    arg.SampleDesc = {1, 0};
    arg.MipLevels = 1;
    arg.ArraySize = 1;
    return arg;
}

}  // namespace

void* D3d10Test::CreateFrom(const D3D11DDIARG_CREATERESOURCE& arg)
{
    m_storage.push_back(std::make_unique<std::array<BYTE, kStorageBytes>>());
    void* storage = m_storage.back()->data();
    HANDLE runtime = fakes::NewRuntimeHandle();
    m_runtimeHandles.emplace_back(storage, runtime);
    CallCreate(*m_device, arg, storage, runtime);
    return storage;
}

void* D3d10Test::CreatePrimary(UINT sourceId, UINT width, UINT height, UINT bindFlags, UINT arraySize)
{
    const D3D10DDI_MIPINFO mip{width, height, 1, width, height, 1};
    DXGI_DDI_PRIMARY_DESC primary{};
    primary.VidPnSourceId = sourceId;
    primary.ModeDesc.Width = width;
    primary.ModeDesc.Height = height;
    primary.ModeDesc.Format = kDxgiFormatB8G8R8A8Unorm;
    primary.ModeDesc.RefreshRate = {60000, 1001};
    D3D11DDIARG_CREATERESOURCE arg = TextureArg(mip, bindFlags);
    arg.pPrimaryDesc = &primary;
    arg.ArraySize = arraySize;
    arg.ByteStride = 0x5A;  // D3D11-only members that must survive in copies
    return CreateFrom(arg);
}

void* D3d10Test::CreateTexture(UINT width, UINT height, UINT bindFlags)
{
    const D3D10DDI_MIPINFO mip{width, height, 1, width, height, 1};
    return CreateFrom(TextureArg(mip, bindFlags));
}

void D3d10Test::CreateTextureInto(void* storage, UINT width, UINT height, UINT bindFlags)
{
    const D3D10DDI_MIPINFO mip{width, height, 1, width, height, 1};
    CallCreate(*m_device, TextureArg(mip, bindFlags), storage, fakes::NewRuntimeHandle());
}

void* D3d10Test::OpenShared(D3DKMT_HANDLE allocation)
{
    m_storage.push_back(std::make_unique<std::array<BYTE, kStorageBytes>>());
    void* storage = m_storage.back()->data();
    D3DDDI_OPENALLOCATIONINFO info{allocation, nullptr, 0};
    D3D10DDIARG_OPENRESOURCE arg{1, &info, 0x77, nullptr, 0};
    m_device->Func<PFND3D10DDI_OPENRESOURCE>(kD3d10OpenResource)(
        m_device->args.hDrvDevice, &arg, D3D10DDI_HRESOURCE{storage}, D3D10DDI_HRTRESOURCE{fakes::NewRuntimeHandle()});
    return storage;
}

void D3d10Test::DestroyResource(void* storage)
{
    m_device->Func<PFND3D10DDI_DESTROYRESOURCE>(kD3d10DestroyResource)(m_device->args.hDrvDevice,
                                                                       D3D10DDI_HRESOURCE{storage});
}

HRESULT D3d10Test::Present(void* surface, UINT flags, void* dst)
{
    DXGI_DDI_ARG_PRESENT p{};
    p.hDevice = m_device->args.hDrvDevice;
    p.hSurfaceToPresent = D3D10DDI_HRESOURCE{surface};
    p.hDstResource = D3D10DDI_HRESOURCE{dst};
    p.pDXGIContext = kRuntimeContext;
    p.Flags = flags;
    HRESULT hr = DdiTableGet<PFNDXGIDDI_PRESENT>(m_device->dxgiFuncs, kDxgiPresent)(&p);
    EXPECT_EQ(p.pDXGIContext, kRuntimeContext) << "the runtime's argument keeps its context";
    return hr;
}

HRESULT PresentWithoutSurface(fakes::Device10& device)
{
    DXGI_DDI_ARG_PRESENT p{};
    p.hDevice = device.args.hDrvDevice;
    p.pDXGIContext = kRuntimeContext;
    p.Flags = kDxgiPresentBlt;
    return DdiTableGet<PFNDXGIDDI_PRESENT>(device.dxgiFuncs, kDxgiPresent)(&p);
}

HRESULT D3d10Test::Present1(void* surface, UINT flags, void* dst)
{
    DXGI_DDI_ARG_PRESENTSURFACE s{D3D10DDI_HRESOURCE{surface}, 0};
    DXGI_DDI_ARG_PRESENT1 p{};
    p.hDevice = m_device->args.hDrvDevice;
    p.phSurfacesToPresent = &s;
    p.SurfacesToPresent = 1;
    p.hDstResource = D3D10DDI_HRESOURCE{dst};
    p.pDXGIContext = kRuntimeContext;
    p.Flags = flags;
    return DdiTableGet<PFNDXGIDDI_PRESENT1>(m_device->dxgiFuncs, kDxgiPresent1)(&p);
}

HRESULT D3d10Test::SetDisplayMode(void* surface)
{
    DXGI_DDI_ARG_SETDISPLAYMODE a{m_device->args.hDrvDevice, D3D10DDI_HRESOURCE{surface}, 0};
    return DdiTableGet<PFNDXGIDDI_SETDISPLAYMODE>(m_device->dxgiFuncs, kDxgiSetDisplayMode)(&a);
}

ShadowRegistration D3d10Test::LastRegistration()
{
    auto regs = EscapesOf(brisel::kEscRegisterShadowBuffer);
    ShadowRegistration r;
    if (regs.empty()) return r;
    const auto& e = regs.back();
    r.allocation = e.U32(12);
    r.size = e.U32(16);
    r.sourceMask = e.U32(20);
    r.width = e.U32(24);
    r.height = e.U32(28);
    r.format = e.U32(32);
    r.pitch = e.U32(36);
    r.address = reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(e.U64(48)));
    return r;
}

D3DKMT_HANDLE D3d10Test::AllocationOf(void* storage)
{
    bool info2 = false;
    const std::vector<D3DKMT_HANDLE> handles = AllocationsOf(storage, &info2);
    return handles.empty() ? 0 : handles[0];
}

std::vector<D3DKMT_HANDLE> D3d10Test::AllocationsOf(void* storage, bool* info2)
{
    HANDLE runtime = nullptr;
    for (const auto& [s, h] : m_runtimeHandles) {
        if (s == storage) runtime = h;
    }
    std::vector<D3DKMT_HANDLE> handles;
    for (const auto& a : fakes::RuntimeLogSnapshot().allocates) {
        if (a.hResource != runtime || !runtime || a.infos.empty()) continue;
        for (const auto& info : a.infos) handles.push_back(info.hAllocation);
        *info2 = a.info2;
        break;
    }
    return handles;
}

brisel::D3d10DeviceRecord* D3d10Test::Record()
{
    return brisel::FindD3d10DeviceByDriver(m_device->args.hDrvDevice.pDrvPrivate);
}

bool D3d10Test::ShadowHoldsFrame(const ShadowRegistration& r, UINT seed)
{
    if (!r.address || r.pitch < r.width * 4) return false;
    for (UINT y = 0; y < r.height; ++y) {
        const auto* row = reinterpret_cast<const UINT*>(r.address + static_cast<size_t>(y) * r.pitch);
        for (UINT x = 0; x < r.width; ++x) {
            if (row[x] != seed + y * 65536u + x) return false;
        }
    }
    return true;
}

}  // namespace umdtest
