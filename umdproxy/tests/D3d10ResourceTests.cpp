// D3D10/11 device and resource wrapping: table copies within each Interface
// band, refusal of major 12, tracking of created, presentable and opened
// resources with their mapped staging shadows, the NVIDIA primary paths, and
// the release of everything at resource and device destruction.
#include <cstring>

#include "D3d10TestSupport.h"
#include "KmdFormats.h"

namespace umdtest {
namespace {

using brisel::kEscOtherSourcePrimaryCreate;
using brisel::kEscProxySourcePrimaryCreate;
using brisel::kEscRegisterShadowBuffer;
using brisel::kEscReleaseShadowBuffer;

D3D10DDIARG_CREATERESOURCE CreateArgsOf(const FakeUmdCall& call)
{
    D3D10DDIARG_CREATERESOURCE a{};
    std::memcpy(&a, call.args, sizeof a);
    return a;
}

// ---------------------------------------------------------------------------
// Interface bands

struct Band {
    UINT iface;
    UINT deviceBytes;
    UINT dxgiBytes;
    UINT createBytes;
    bool d3d11Form;
};

const Band kBands[] = {
    {0xA0000, 404, 28, 52, false}, {0xA0001, 404, 28, 52, false}, {0xA0002, 412, 28, 52, true},
    {0xA000A, 412, 28, 52, true},  {0xB0000, 600, 32, 64, true},  {0xB000D, 600, 32, 64, true},
    {0xB000E, 620, 60, 64, true},  {0xB000F, 620, 60, 64, true},  {0xB0010, 656, 72, 64, true},
    {0xB001F, 656, 72, 64, true},  {0xB0020, 672, 84, 64, true},  {0xB0021, 672, 84, 64, true},
    {0xB0022, 680, 88, 64, true},  {0xB00FF, 680, 88, 64, true},
};

class D3d10BandTest : public D3d10Test {};

HRESULT APIENTRY RuntimePresentCbStub(HANDLE, DXGIDDICB_PRESENT*) { return S_OK; }

// A device created with runtime tables poisoned behind the band's length, as
// memory that belongs to something else would be.
std::unique_ptr<fakes::Device10> CreatePoisonedDevice(fakes::Adapter10& adapter, UINT iface)
{
    auto d = std::make_unique<fakes::Device10>();
    d->callbacks = *fakes::DeviceCallbacks();
    DdiTableSet(d->dxgiCallbacks, kDxgiCbPresent, &RuntimePresentCbStub);
    std::memset(&d->funcs, 0xEE, sizeof d->funcs);
    std::memset(&d->dxgiFuncs, 0xEE, sizeof d->dxgiFuncs);
    fakes::CreatePreparedDevice10(adapter, *d, iface);
    return d;
}

TEST_F(D3d10BandTest, EveryInterfaceBandCopiesOnlyItsOwnTables)
{
    Kmd().SetAdapter(DefaultAdapter());
    m_adapter = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(m_adapter->hr, S_OK);
    for (const Band& band : kBands) {
        SCOPED_TRACE(::testing::Message() << std::hex << band.iface);
        const D3d10InterfaceLayout layout = D3d10LayoutForInterface(band.iface);
        EXPECT_EQ(layout.deviceFuncsBytes, band.deviceBytes);
        EXPECT_EQ(layout.dxgiFuncsBytes, band.dxgiBytes);
        EXPECT_EQ(layout.createResourceBytes, band.createBytes);
        EXPECT_EQ(layout.d3d11Form, band.d3d11Form);

        m_device = CreatePoisonedDevice(*m_adapter, band.iface);
        ASSERT_EQ(m_device->hr, S_OK);
        brisel::D3d10DeviceRecord* record = Record();
        ASSERT_NE(record, nullptr);
        // Nothing behind the band's tables was copied ...
        const auto* copied = reinterpret_cast<const BYTE*>(&record->realDeviceFuncs);
        for (UINT i = band.deviceBytes; i < sizeof record->realDeviceFuncs; ++i) ASSERT_EQ(copied[i], 0) << i;
        const auto* copiedDxgi = reinterpret_cast<const BYTE*>(&record->realDxgiFuncs);
        for (UINT i = band.dxgiBytes; i < sizeof record->realDxgiFuncs; ++i) ASSERT_EQ(copiedDxgi[i], 0) << i;
        // ... or written, and what is inside was.
        const auto* runtime = reinterpret_cast<const BYTE*>(&m_device->funcs);
        for (UINT i = band.deviceBytes; i < sizeof m_device->funcs; ++i) ASSERT_EQ(runtime[i], 0xEE) << i;
        const auto* runtimeDxgi = reinterpret_cast<const BYTE*>(&m_device->dxgiFuncs);
        for (UINT i = band.dxgiBytes; i < sizeof m_device->dxgiFuncs; ++i) ASSERT_EQ(runtimeDxgi[i], 0xEE) << i;
        EXPECT_EQ(m_device->Func<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice), &brisel::D3d10DestroyDeviceWrapper);
        EXPECT_EQ(DdiTableGet<PFNDXGIDDI_PRESENT>(m_device->dxgiFuncs, kDxgiPresent), &brisel::DxgiPresentWrapper);
        EXPECT_EQ(reinterpret_cast<void*>(record->runtimePresentCb), reinterpret_cast<void*>(&RuntimePresentCbStub));
        DestroyDevice();
    }
}

// A 52-byte creation argument placed right before an inaccessible page: any
// read past its end faults.
class GuardedArgument {
public:
    GuardedArgument()
    {
        m_base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (m_base) VirtualProtect(m_base + kPage, kPage, PAGE_NOACCESS, &old);
    }
    ~GuardedArgument()
    {
        if (m_base) VirtualFree(m_base, 0, MEM_RELEASE);
    }
    D3D10DDIARG_CREATERESOURCE* Arg()
    {
        return m_base
                   ? reinterpret_cast<D3D10DDIARG_CREATERESOURCE*>(m_base + kPage - sizeof(D3D10DDIARG_CREATERESOURCE))
                   : nullptr;
    }

private:
    static constexpr SIZE_T kPage = 4096;
    BYTE* m_base = nullptr;
};

TEST_F(D3d10BandTest, TenOneCreationArgumentIsReadOnlyWithinItsFiftyTwoBytes)
{
    // A 10.1 runtime's argument ends after 52 bytes; the NVIDIA copy and the
    // staging description must not read beyond it.
    Open(0xA0002, kVendorNv);
    AnswerAllocationInfo(800, 600, 87);
    GuardedArgument guarded;
    D3D10DDIARG_CREATERESOURCE* arg = guarded.Arg();
    ASSERT_NE(arg, nullptr);
    const D3D10DDI_MIPINFO mip{800, 600, 1, 800, 600, 1};
    DXGI_DDI_PRIMARY_DESC primary{};
    primary.VidPnSourceId = kFirstProxySource;
    primary.ModeDesc.Width = 800;
    primary.ModeDesc.Height = 600;
    *arg = D3D10DDIARG_CREATERESOURCE{};
    arg->pMipInfoList = &mip;
    arg->ResourceDimension = kD3d10ResourceTexture2D;
    arg->BindFlags = 0xA8;
    arg->Format = kDxgiFormatB8G8R8A8Unorm;
    arg->SampleDesc = {1, 0};
    arg->MipLevels = 1;
    arg->ArraySize = 1;
    arg->pPrimaryDesc = &primary;
    BYTE storage[kStorageBytes] = {};
    m_device->Func<PFND3D10DDI_CREATERESOURCE>(kD3d10CreateResource)(
        m_device->args.hDrvDevice, arg, D3D10DDI_HRESOURCE{storage}, D3D10DDI_HRTRESOURCE{fakes::NewRuntimeHandle()});

    auto creates = CallsOfKind(kCallCreateResource10);
    ASSERT_EQ(creates.size(), 2u);  // the primary and its staging shadow
    for (const auto& c : creates) EXPECT_EQ(c.argBytes, 52u) << "the 10.1 driver got its D3D10 entry";
    EXPECT_EQ(CreateArgsOf(creates[0]).pPrimaryDesc, nullptr);
    EXPECT_EQ(CreateArgsOf(creates[0]).BindFlags, 0x8u);
    EXPECT_EQ(CreateArgsOf(creates[1]).Usage, kD3d10UsageStaging);
    EXPECT_EQ(CreateArgsOf(creates[1]).Format, kDxgiFormatB8G8R8A8Unorm) << "10.1 keeps the D3D11 shadow form";
    EXPECT_NE(Record()->FindTrackedSurface(storage)->shadowResource, nullptr);
    DestroyResource(storage);
}

TEST_F(D3d10BandTest, MajorTwelveIsRefusedWithoutReachingTheDriver)
{
    fakes::KmdAdapterConfig c = DefaultAdapter();
    Kmd().SetAdapter(c);
    m_adapter = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(m_adapter->hr, S_OK);
    auto device = fakes::CreateDevice10(*m_adapter, 0xC0000);
    EXPECT_EQ(device->hr, E_INVALIDARG);
    EXPECT_TRUE(CallsOfKind(kCallCreateDevice10).empty());
    EXPECT_EQ(brisel::DeviceList().Count(), 0u);
}

TEST_F(D3d10BandTest, FailedCreationPutsTheRuntimePresentCallbackBack)
{
    Kmd().SetAdapter(DefaultAdapter());
    m_adapter = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(m_adapter->hr, S_OK);
    FakeUmd_Config()->createDeviceResult = E_OUTOFMEMORY;
    auto device = fakes::CreateDevice10(*m_adapter, 0xB0022);
    EXPECT_EQ(device->hr, E_OUTOFMEMORY);
    EXPECT_NE(device->dxgiCallbacks.entries[kDxgiCbPresent], reinterpret_cast<DdiProc>(&brisel::DxgiPresentCbWrapper));
    EXPECT_EQ(device->args.pKTCallbacks, &device->callbacks);
}

TEST_F(D3d10BandTest, PresentOneIsWrappedOnlyFromSeventyTwoBytes)
{
    Open(0xB000E);  // 60-byte DXGI table
    EXPECT_NE(m_device->dxgiFuncs.entries[kDxgiPresent], nullptr);
    EXPECT_EQ(DdiTableGet<PFNDXGIDDI_PRESENT>(m_device->dxgiFuncs, kDxgiPresent), &brisel::DxgiPresentWrapper);
    EXPECT_EQ(m_device->dxgiFuncs.entries[kDxgiPresent1], nullptr) << "no Present1 in a 60-byte table";
    CloseAll();

    Open(0xB0010);  // 72 bytes
    EXPECT_EQ(DdiTableGet<PFNDXGIDDI_PRESENT1>(m_device->dxgiFuncs, kDxgiPresent1), &brisel::DxgiPresent1Wrapper);
    EXPECT_EQ(DdiTableGet<PFNDDXGIDDI_PRESENTCB>(m_device->dxgiCallbacks, kDxgiCbPresent),
              &brisel::DxgiPresentCbWrapper);
}

// ---------------------------------------------------------------------------
// Created and opened surfaces

class D3d10SurfaceTest : public D3d10Test {};

TEST_F(D3d10SurfaceTest, PresentableTextureIsTrackedAndTakesTheAllocationInfoSize)
{
    Open(0xB0022);
    AnswerAllocationInfo(1280, 1024, 21);
    void* texture = CreateTexture(1024, 768, kD3d10BindPresentable);
    brisel::TrackedSurface* s = Record()->FindTrackedSurface(texture);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->width, 1280u);
    EXPECT_EQ(s->height, 1024u);
    EXPECT_EQ(s->format, 21u);
    EXPECT_EQ(s->primaryAllocation, AllocationOf(texture));
    // The allocation-info query carried the texture's first allocation.
    auto infos = EscapesOf(brisel::kEscQueryAllocationInfo);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].U32(12), AllocationOf(texture));

    // The staging description: the application's mip info, staging usage.
    auto creates = CallsOfKind(kCallCreateResource10);
    ASSERT_EQ(creates.size(), 2u);
    D3D11DDIARG_CREATERESOURCE staging{};
    std::memcpy(&staging, creates[1].args, sizeof staging);
    EXPECT_EQ(creates[1].argBytes, 64u);
    EXPECT_EQ(staging.Usage, 3u);
    EXPECT_EQ(staging.BindFlags, 0xA0u);
    EXPECT_EQ(staging.MapFlags, 2u);
    EXPECT_EQ(staging.Format, 87u);
    EXPECT_EQ(staging.ResourceDimension, 3u);
    EXPECT_EQ(staging.pInitialDataUP, nullptr);
    EXPECT_EQ(staging.pPrimaryDesc, nullptr);

    ShadowRegistration r = LastRegistration();
    EXPECT_EQ(r.allocation, AllocationOf(texture));
    EXPECT_EQ(r.width, 1280u);
    EXPECT_EQ(r.pitch, 1024u * 4);
    EXPECT_EQ(r.size, 1024u * 4 * 1024);
    EXPECT_NE(r.address, nullptr);
    DestroyResource(texture);
}

// The driver describes a primary's two allocations in the form its Interface
// implies (D3DDDI_ALLOCATIONINFO2 from WDDM 2.0 on); the surface records the
// runtime's handles in both. Past the newest known Interface nothing is
// recorded or registered: the driver calls the runtime directly.
TEST_F(D3d10SurfaceTest, TrackedPrimaryRecordsTheRuntimesHandlesInEitherAllocationForm)
{
    const struct {
        UINT iface;
        bool info2;
        bool recorded;
    } cases[] = {{0xB000F, false, true}, {0xB0010, false, true}, {0xB0020, true, true},
                 {0xB0022, true, true},  {0xB0023, true, true},  {0xB0024, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.iface);
        ResetKmd();
        Open(c.iface);
        AnswerAllocationInfo(800, 600, 87);
        void* primary = CreatePrimary(kFirstProxySource, 800, 600, 0xA0, 2);
        bool info2 = !c.info2;
        const std::vector<D3DKMT_HANDLE> allocations = AllocationsOf(primary, &info2);
        ASSERT_EQ(allocations.size(), 2u);
        EXPECT_EQ(info2, c.info2) << "the form the driver passed";
        brisel::TrackedSurface* s = Record()->FindTrackedSurface(primary);
        ASSERT_NE(s, nullptr);
        if (!c.recorded) {
            EXPECT_EQ(s->allocations.Front(), nullptr);
            EXPECT_TRUE(EscapesOf(brisel::kEscRegisterShadowBuffer).empty());
            DestroyResource(primary);
            CloseAll();
            continue;
        }
        EXPECT_EQ(s->primaryAllocation, allocations[0]);
        const brisel::AllocationRecord* record = s->allocations.Front();
        for (D3DKMT_HANDLE allocation : allocations) {
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->info.hAllocation, allocation);
            EXPECT_EQ(record->info.VidPnSourceId, kFirstProxySource);
            EXPECT_EQ(record->info.Flags, kAllocationFlagPrimary);
            record = record->pNext;
        }
        EXPECT_EQ(LastRegistration().allocation, allocations[0]);
        DestroyResource(primary);
        CloseAll();
    }
}

TEST_F(D3d10SurfaceTest, ResourceWithoutPresentableBitOrPrimaryIsNotTracked)
{
    Open(0xB0022);
    AnswerAllocationInfo(1024, 768, 87);
    void* texture = CreateTexture(1024, 768, 0x28);
    EXPECT_EQ(Record()->FindTrackedSurface(texture), nullptr);
    EXPECT_TRUE(EscapesOf(brisel::kEscQueryAllocationInfo).empty());
    EXPECT_EQ(CallsOfKind(kCallCreateResource10).size(), 1u) << "no staging shadow";
    DestroyResource(texture);
}

TEST_F(D3d10SurfaceTest, FailedAllocationInfoLeavesTheSurfaceWithoutShadow)
{
    Open(0xB0022);
    Kmd().SetAnswer(brisel::kEscQueryAllocationInfo, {E_FAIL, {}});
    void* primary = CreatePrimary(0, 800, 600);
    brisel::TrackedSurface* s = Record()->FindTrackedSurface(primary);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->shadowResource, nullptr);
    EXPECT_TRUE(EscapesOf(kEscRegisterShadowBuffer).empty());
    DestroyResource(primary);
    EXPECT_TRUE(EscapesOf(kEscReleaseShadowBuffer).empty());
}

TEST_F(D3d10SurfaceTest, HeapFailureForTheShadowLeavesNoShadowAndNoRegistration)
{
    Open(0xB0022);
    AnswerAllocationInfo(800, 600, 87);
    Seams().heapFailures = 1;
    void* primary = CreatePrimary(0, 800, 600);
    brisel::TrackedSurface* s = Record()->FindTrackedSurface(primary);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->shadowResource, nullptr);
    EXPECT_EQ(CallsOfKind(kCallCreateResource10).size(), 1u);
    EXPECT_TRUE(EscapesOf(kEscRegisterShadowBuffer).empty());
    DestroyResource(primary);
}

TEST_F(D3d10SurfaceTest, OpenedSharedSurfaceIsTrackedFromEightHundredByFourEighty)
{
    struct Case {
        UINT width, height;
        bool tracked;
    };
    const Case cases[] = {
        {640, 480, false}, {799, 1080, false}, {800, 479, false}, {800, 480, true}, {1920, 1080, true}};
    Open(0xB0022);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
        ResetKmd();
        AnswerAllocationInfo(c.width, c.height, 87);
        AnswerAllocationSourceMask(0x4);
        FakeUmd_Reset();
        void* opened = OpenShared(0x4321);
        auto opens = CallsOfKind(kCallOpenResource10);
        ASSERT_EQ(opens.size(), 1u) << "the real open is called in every case";
        brisel::TrackedSurface* s = Record()->FindTrackedSurface(opened);
        EXPECT_EQ(s != nullptr, c.tracked);
        if (s) {
            EXPECT_TRUE(s->isOpenedShared);
            EXPECT_EQ(s->sourceMask, 0x4u);
            EXPECT_EQ(s->primaryAllocation, 0x4321u);
            EXPECT_EQ(s->shadowResource, nullptr) << "made at the first flip";
        }
        DestroyResource(opened);
        EXPECT_EQ(Record()->FindTrackedSurface(opened), nullptr);
    }
}

// ---------------------------------------------------------------------------
// NVIDIA primaries

class D3d10NvidiaTest : public D3d10Test {};

TEST_F(D3d10NvidiaTest, ProxySourcePrimaryLosesItsDescriptionAndIsBracketed)
{
    Open(0xB0022, kVendorNv);
    AnswerAllocationInfo(1920, 1080, 87);
    void* primary = CreatePrimary(kFirstProxySource, 1920, 1080, 0xA8);

    auto creates = CallsOfKind(kCallCreateResource10);
    ASSERT_EQ(creates.size(), 2u);
    D3D11DDIARG_CREATERESOURCE real{};
    std::memcpy(&real, creates[0].args, sizeof real);
    EXPECT_EQ(real.pPrimaryDesc, nullptr);
    EXPECT_EQ(real.BindFlags, 0x8u) << "only bit 0x8 of the BindFlags";
    EXPECT_EQ(real.ByteStride, 0x5Au) << "the rest of the 64-byte argument is the application's";

    // Its single allocation was marked Primary for the proxy source.
    auto allocs = fakes::RuntimeLogSnapshot().allocates;
    ASSERT_FALSE(allocs.empty());
    ASSERT_EQ(allocs[0].infos.size(), 1u);
    EXPECT_EQ(allocs[0].infos[0].VidPnSourceId, kFirstProxySource);
    EXPECT_TRUE(allocs[0].infos[0].Flags & kAllocationFlagPrimary);
    EXPECT_FALSE(Record()->forcePrimaryAllocation);

    auto brackets = EscapesOf(kEscProxySourcePrimaryCreate);
    ASSERT_EQ(brackets.size(), 2u);
    EXPECT_EQ(brackets[0].sent[12], 1);
    EXPECT_EQ(brackets[1].sent[12], 0);
    EXPECT_EQ(brackets[0].hDevice, m_device->runtimeHandle);
    EXPECT_TRUE(EscapesOf(kEscOtherSourcePrimaryCreate).empty());
    // The bracket closes before the surface is finished.
    auto all = Kmd().Escapes();
    size_t closeAt = 0, infoAt = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].Command() == kEscProxySourcePrimaryCreate && all[i].sent[12] == 0) closeAt = i;
        if (all[i].Command() == brisel::kEscQueryAllocationInfo) infoAt = i;
    }
    EXPECT_LT(closeAt, infoAt);
    DestroyResource(primary);
}

TEST_F(D3d10NvidiaTest, LowerSourcePrimaryKeepsItsDescriptionAndIsBracketedAsOtherSource)
{
    Open(0xB0022, kVendorNv);
    AnswerAllocationInfo(1920, 1080, 87);
    void* primary = CreatePrimary(kFirstProxySource - 1, 1920, 1080, 0xA8);
    auto creates = CallsOfKind(kCallCreateResource10);
    ASSERT_EQ(creates.size(), 2u);
    D3D11DDIARG_CREATERESOURCE real{};
    std::memcpy(&real, creates[0].args, sizeof real);
    EXPECT_NE(real.pPrimaryDesc, nullptr);
    EXPECT_EQ(real.BindFlags, 0xA8u);
    auto brackets = EscapesOf(kEscOtherSourcePrimaryCreate);
    ASSERT_EQ(brackets.size(), 2u);
    EXPECT_EQ(brackets[0].sent[12], 1);
    EXPECT_EQ(brackets[1].sent[12], 0);
    EXPECT_TRUE(EscapesOf(kEscProxySourcePrimaryCreate).empty());
    DestroyResource(primary);
}

TEST_F(D3d10NvidiaTest, OtherVendorsSendNoPrimaryBrackets)
{
    Open(0xB0022, kVendorOther);
    AnswerAllocationInfo(1920, 1080, 87);
    void* primary = CreatePrimary(kFirstProxySource, 1920, 1080);
    EXPECT_TRUE(EscapesOf(kEscProxySourcePrimaryCreate).empty());
    EXPECT_TRUE(EscapesOf(kEscOtherSourcePrimaryCreate).empty());
    auto allocs = fakes::RuntimeLogSnapshot().allocates;
    ASSERT_FALSE(allocs.empty());
    D3D11DDIARG_CREATERESOURCE real{};
    std::memcpy(&real, CallsOfKind(kCallCreateResource10).at(0).args, sizeof real);
    EXPECT_NE(real.pPrimaryDesc, nullptr);
    DestroyResource(primary);
}

// ---------------------------------------------------------------------------
// Destruction

class D3d10DestroyTest : public D3d10Test {};

// The real creation reports failure only through pfnSetErrorCb, so its
// surface stays listed; when the runtime hands that storage to the next
// resource, the stale surface is released instead of shadowing the new one.
TEST_F(D3d10DestroyTest, StorageReusedAfterAFailedCreationReleasesTheStaleSurface)
{
    Open(0xB0022);
    AnswerAllocationInfo(800, 600, 87);
    void* storage = CreatePrimary(0, 800, 600);
    brisel::TrackedSurface* stale = Record()->FindTrackedSurface(storage);
    ASSERT_NE(stale, nullptr);
    ASSERT_NE(stale->shadowResource, nullptr);

    AnswerAllocationInfo(64, 32, 87);
    CreateTextureInto(storage, 64, 32, kD3d10BindPresentable);
    EXPECT_EQ(EscapesOf(kEscReleaseShadowBuffer).size(), 1u) << "the stale registration";
    EXPECT_EQ(CallsOfKind(kCallStagingUnmap10).size(), 1u);
    brisel::TrackedSurface* fresh = Record()->FindTrackedSurface(storage);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->width, 64u);
    EXPECT_EQ(fresh->pNext, nullptr) << "one surface under the storage";
    DestroyResource(storage);
    EXPECT_EQ(EscapesOf(kEscReleaseShadowBuffer).size(), 2u);
    EXPECT_EQ(Record()->trackedHead, nullptr);
}

TEST_F(D3d10DestroyTest, DeviceDestructionReleasesSurfacesTheRuntimeLeftBehind)
{
    Open(0xB0022);
    AnswerAllocationInfo(800, 600, 87);
    CreatePrimary(0, 800, 600);
    ASSERT_EQ(EscapesOf(kEscRegisterShadowBuffer).size(), 1u);
    DestroyDevice();
    EXPECT_EQ(EscapesOf(kEscReleaseShadowBuffer).size(), 1u);
    EXPECT_EQ(CallsOfKind(kCallStagingUnmap10).size(), 1u);
    EXPECT_EQ(CallsOfKind(kCallDestroyResource10).size(), 1u) << "the shadow, before the device";
    EXPECT_EQ(CallsOfKind(kCallDestroyDevice10).size(), 1u);
}

}  // namespace
}  // namespace umdtest
