// The capture cycle of D3D9 surfaces against the fake runtime, vendor driver
// and kernel-mode driver: a tracked primary's allocations registered with
// every field of RegisterShadowBuffer, its shadow surface over the buffer,
// presents that copy through the driver's pfnBlt (Flip and Blt rules of
// Present and Present1), mode changes bracketed by escapes, fullscreen
// shared surfaces opened by a compositor, and destruction that releases
// every registration and frees the buffer, also when the application leaves
// the resource to the device's destruction.
#include <cstring>

#include "D3d9TestSupport.h"
#include "KmdFormats.h"

using namespace umdtest;
namespace esc = brisel::esc;

namespace {

using D3d9CaptureTest = D3d9Test;

constexpr DWORD kPattern = 0x00A5C300;

// Whether the shadow buffer holds the fake driver's copy pattern everywhere.
bool HoldsPattern(const void* buffer, UINT width, UINT height, UINT pitch)
{
    for (UINT y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const DWORD*>(static_cast<const unsigned char*>(buffer) + y * pitch);
        for (UINT x = 0; x < width; ++x) {
            if (row[x] != (kPattern ^ (y << 16 | x))) return false;
        }
    }
    return true;
}

TEST_F(D3d9CaptureTest, TrackedPrimaryIsRegisteredShadowedCopiedAndReleased)
{
    fakes::Device9& device = NewDevice();
    FakeD3d9_Config()->allocationsPerResource = 2;
    FakeD3d9_Config()->bltPattern = kPattern;
    const UINT width = 1920, height = 1080;

    Created9 r = Create(device);
    ASSERT_EQ(r.hr, S_OK);
    auto creations = D3d9Calls(kD3d9CallCreateResource);
    ASSERT_EQ(creations.size(), 2u) << "the resource and its shadow";
    EXPECT_EQ(r.Handle(), creations[0].hResult) << "the runtime gets the driver's handle";

    // One registration per allocation, in order, with every field.
    const std::vector<D3DKMT_HANDLE> allocations = AllocationsOf(r.runtimeHandle);
    ASSERT_EQ(allocations.size(), 2u);
    auto registrations = EscapesOf(brisel::kEscRegisterShadowBuffer);
    ASSERT_EQ(registrations.size(), 2u);
    const uint64_t address = registrations[0].U64(esc::kBufferAddress);
    ASSERT_NE(address, 0u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& reg = registrations[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(reg.hDevice, device.runtimeHandle);
        EXPECT_EQ(reg.U32(0), 88u);
        EXPECT_EQ(reg.U32(esc::kAllocation), allocations[i]);
        EXPECT_EQ(reg.U32(esc::kBufferSize), width * height * 4);
        EXPECT_EQ(reg.U32(esc::kSourceMask), 1u << 1);
        EXPECT_EQ(reg.U32(esc::kWidth), width);
        EXPECT_EQ(reg.U32(esc::kHeight), height);
        EXPECT_EQ(reg.U32(esc::kFormat), 21u);
        EXPECT_EQ(reg.U32(esc::kPitch), width * 4);
        EXPECT_EQ(reg.U64(esc::kBufferAddress), address) << "one buffer for every allocation";
    }
    // The 32-bit address travels sign-extended.
    auto* buffer = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
    EXPECT_EQ(address,
              static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(reinterpret_cast<uintptr_t>(buffer)))));
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(buffer, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
    EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READWRITE));

    // The shadow: one system-memory render target over the buffer.
    const FakeD3d9Call& shadow = creations[1];
    EXPECT_EQ(shadow.hResource, nullptr);
    EXPECT_EQ(shadow.pool, kD3d9PoolSystemMem);
    EXPECT_EQ(shadow.flags, kD3d9ResRenderTarget);
    EXPECT_EQ(shadow.surfCount, 1u);
    EXPECT_EQ(shadow.mipLevels, 1u);
    EXPECT_EQ(shadow.rotation, kD3d9RotationIdentity);
    EXPECT_EQ(shadow.format, 21u);
    EXPECT_EQ(shadow.vidPnSourceId, 1u) << "as the application's";
    EXPECT_EQ(shadow.refreshNumerator, 60000u);
    EXPECT_EQ(shadow.width, width);
    EXPECT_EQ(shadow.height, height);
    EXPECT_EQ(shadow.pSysMem, buffer);
    EXPECT_EQ(shadow.sysMemPitch, width * 4);
    EXPECT_EQ(fakes::RuntimeLogSnapshot().allocates.size(), 2u);
    EXPECT_EQ(RecordOf(device)->PendingCount(), 0u) << "the shadow's allocation is not recorded";
    brisel::TrackedSurface* surface = RecordOf(device)->FindTrackedSurface(r.Handle());
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(surface->primaryAllocation, allocations[0]);
    EXPECT_EQ(surface->runtimeResource, r.runtimeHandle);
    EXPECT_EQ(surface->shadowResource, shadow.hResult);

    // Flip with the surface's source active: one copy through the driver.
    AnswerActiveSources(0x2);
    EXPECT_EQ(Present(device, r.Handle(), kD3d9PresentFlip), S_OK);
    auto blts = D3d9Calls(kD3d9CallBlt);
    ASSERT_EQ(blts.size(), 1u);
    EXPECT_EQ(blts[0].hResource, r.Handle());
    EXPECT_EQ(blts[0].hDst, shadow.hResult);
    EXPECT_EQ(blts[0].subResources, 0u);
    EXPECT_EQ(blts[0].flags, 0u);
    EXPECT_EQ(blts[0].colorKey, 0u);
    const RECT full{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    EXPECT_EQ(std::memcmp(&blts[0].srcRect, &full, sizeof full), 0);
    EXPECT_EQ(std::memcmp(&blts[0].dstRect, &full, sizeof full), 0);
    EXPECT_TRUE(HoldsPattern(buffer, width, height, width * 4));
    auto presents = D3d9Calls(kD3d9CallPresent);
    ASSERT_EQ(presents.size(), 1u);
    EXPECT_EQ(presents[0].hResource, r.Handle()) << "the application's present follows unchanged";

    // Blt present: copied whatever the sources.
    AnswerActiveSources(0);
    std::memset(buffer, 0, width * 4);
    EXPECT_EQ(Present(device, r.Handle(), kD3d9PresentBlt), S_OK);
    EXPECT_EQ(D3d9Calls(kD3d9CallBlt).size(), 2u);
    EXPECT_TRUE(HoldsPattern(buffer, width, 1, width * 4));
    // Flip while no source is active: no copy.
    EXPECT_EQ(Present(device, r.Handle(), kD3d9PresentFlip), S_OK);
    EXPECT_EQ(D3d9Calls(kD3d9CallBlt).size(), 2u);
    // A present of an untracked source: no copy.
    EXPECT_EQ(Present(device, fakes::NewRuntimeHandle(), kD3d9PresentBlt), S_OK);
    EXPECT_EQ(D3d9Calls(kD3d9CallBlt).size(), 2u);

    // Destruction: one release per allocation, the shadow before the resource, buffer freed.
    EXPECT_EQ(Destroy(device, r.Handle()), S_OK);
    auto releases = EscapesOf(brisel::kEscReleaseShadowBuffer);
    ASSERT_EQ(releases.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(releases[i].hDevice, device.runtimeHandle);
        EXPECT_EQ(releases[i].U32(esc::kAllocation), allocations[i]);
        EXPECT_EQ(releases[i].U32(esc::kBufferSize), width * height * 4);
        EXPECT_EQ(releases[i].U32(esc::kSourceMask), 1u << 1) << "primary allocations name their source";
        EXPECT_EQ(releases[i].U32(esc::kWidth), width);
        EXPECT_EQ(releases[i].U32(esc::kHeight), height);
        EXPECT_EQ(releases[i].U32(esc::kFormat), 21u);
    }
    auto destroys = D3d9Calls(kD3d9CallDestroyResource);
    ASSERT_EQ(destroys.size(), 2u);
    EXPECT_EQ(destroys[0].hResource, shadow.hResult);
    EXPECT_EQ(destroys[1].hResource, r.Handle());
    EXPECT_TRUE(IsReleased(buffer));
    EXPECT_EQ(FakeD3d9_LiveResources(), 0);
    EXPECT_EQ(RecordOf(device)->FindTrackedSurface(r.Handle()), nullptr);
}

// Below WDDM 2.0 the driver passes 24-byte D3DDDI_ALLOCATIONINFO entries,
// from it 56-byte D3DDDI_ALLOCATIONINFO2 entries: the records, and the
// handles registered with the kernel-mode driver, are the runtime's in both.
// The form is the driver model's: a driver that reported an older
// DriverVersion than the runtime's keeps the first form.
TEST_F(D3d9CaptureTest, TrackedPrimaryRecordsTheRuntimesHandlesInEitherAllocationForm)
{
    const struct {
        UINT version;
        UINT driverVersion;
        bool info2;
    } cases[] = {
        {0x4002, 0x5A5A, false}, {0x5001, 0x5A5A, false}, {0x5002, 0x5A5A, true},  {0x6003, 0x5A5A, true},
        {0x7001, 0x5A5A, true},  {0x7001, 0x4002, false}, {0x6003, 0x5001, false}, {0x5002, 0x5002, true},
    };
    FakeD3d9_Config()->allocationsPerResource = 2;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version << " driver " << c.driverVersion);
        FakeUmd_Config()->driverVersion = c.driverVersion;
        auto adapter = OpenExtraAdapter();
        ASSERT_EQ(adapter->hr, S_OK);
        const size_t registered = EscapesOf(brisel::kEscRegisterShadowBuffer).size();
        const size_t released = EscapesOf(brisel::kEscReleaseShadowBuffer).size();
        auto device = fakes::CreateDevice9(*adapter, c.version);
        ASSERT_EQ(device->hr, S_OK);
        Created9 r = Create(*device);
        ASSERT_EQ(r.hr, S_OK);
        for (const auto& a : fakes::RuntimeLogSnapshot().allocates) {
            if (a.hResource != r.runtimeHandle) continue;
            EXPECT_EQ(a.info2, c.info2) << "the form the driver passed";
        }
        const std::vector<D3DKMT_HANDLE> allocations = AllocationsOf(r.runtimeHandle);
        ASSERT_EQ(allocations.size(), 2u);
        auto registrations = EscapesOf(brisel::kEscRegisterShadowBuffer);
        ASSERT_EQ(registrations.size(), registered + 2);
        registrations.erase(registrations.begin(), registrations.begin() + registered);
        brisel::TrackedSurface* surface = RecordOf(*device)->FindTrackedSurface(r.Handle());
        ASSERT_NE(surface, nullptr);
        EXPECT_EQ(surface->primaryAllocation, allocations[0]);
        const brisel::AllocationRecord* record = surface->allocations.Front();
        for (size_t i = 0; i < 2; ++i, record = record->pNext) {
            SCOPED_TRACE(i);
            EXPECT_EQ(registrations[i].U32(esc::kAllocation), allocations[i]);
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->info.hAllocation, allocations[i]);
            EXPECT_EQ(record->info.VidPnSourceId, 1u);
            EXPECT_EQ(record->info.Flags, kAllocationFlagPrimary);
        }
        EXPECT_EQ(Destroy(*device, r.Handle()), S_OK);
        auto releases = EscapesOf(brisel::kEscReleaseShadowBuffer);
        ASSERT_EQ(releases.size(), released + 2);
        for (size_t i = 0; i < 2; ++i) EXPECT_EQ(releases[released + i].U32(esc::kAllocation), allocations[i]);
        EXPECT_EQ(device->Destroy(), S_OK);
        EXPECT_EQ(adapter->Close(), S_OK);
    }
}

TEST_F(D3d9CaptureTest, SecondCreationEntryMakesItsShadowWithCpuOptimizedAdded)
{
    fakes::Device9& device = NewDevice(0x6003);
    ResourceDesc desc;
    desc.create2 = true;
    desc.flags = kD3d9ResRenderTarget | kD3d9ResSharedResource;
    desc.flags2 = 0x5;
    desc.width = 1280;
    desc.height = 720;
    Created9 r = Create(device, desc);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_TRUE(D3d9Calls(kD3d9CallCreateResource).empty());
    auto creations = D3d9Calls(kD3d9CallCreateResource2);
    ASSERT_EQ(creations.size(), 2u);
    EXPECT_EQ(creations[1].pool, kD3d9PoolSystemMem);
    EXPECT_EQ(creations[1].flags, desc.flags | kD3d9ResRenderTarget | kD3d9ResCpuOptimized);
    EXPECT_EQ(creations[1].flags2, 0x5u);
    EXPECT_EQ(creations[1].sysMemPitch, 1280u * 4);
    auto registrations = EscapesOf(brisel::kEscRegisterShadowBuffer);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].U32(esc::kSourceMask), 1u << 1);

    // A non-primary allocation is released with mask 0.
    EXPECT_EQ(Destroy(device, r.Handle()), S_OK);
    auto releases = EscapesOf(brisel::kEscReleaseShadowBuffer);
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].U32(esc::kSourceMask), 0u);
    EXPECT_EQ(FakeD3d9_LiveResources(), 0);
}

TEST_F(D3d9CaptureTest, FlipRulesOfPresentAndPresent1Differ)
{
    fakes::Device9& device = NewDevice(0x6003);
    Created9 r = Create(device);  // source 1: mask 0x2
    ASSERT_EQ(r.hr, S_OK);
    const struct {
        const char* name;
        UINT activeMask;
        UINT flags;
        bool present1;
        bool copies;
    } cases[] = {
        {"Present flip, own source active", 0x2, kD3d9PresentFlip, false, true},
        {"Present flip, other source active", 0x4, kD3d9PresentFlip, false, true},
        {"Present flip, none active", 0x0, kD3d9PresentFlip, false, false},
        {"Present1 flip, own source active", 0x6, kD3d9PresentFlip, true, true},
        {"Present1 flip, other source active", 0x4, kD3d9PresentFlip, true, false},
        {"Present1 blt", 0x0, kD3d9PresentBlt, true, true},
        {"Present1 flip and blt bits, other source", 0x4, kD3d9PresentFlip | kD3d9PresentBlt, true, false},
        {"neither flip nor blt", 0x2, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AnswerActiveSources(c.activeMask);
        const size_t before = D3d9Calls(kD3d9CallBlt).size();
        EXPECT_EQ(c.present1 ? Present1(device, r.Handle(), c.flags) : Present(device, r.Handle(), c.flags), S_OK);
        EXPECT_EQ(D3d9Calls(kD3d9CallBlt).size() - before, c.copies ? 1u : 0u);
    }
    EXPECT_EQ(D3d9Calls(kD3d9CallPresent1).size(), 4u);
    EXPECT_EQ(Destroy(device, r.Handle()), S_OK);
}

TEST_F(D3d9CaptureTest, ModeChangeOfATrackedSurfaceIsBracketedByEscapes)
{
    fakes::Device9& device = NewDevice();
    FakeD3d9_Config()->setDisplayModeResult = S_FALSE;
    Created9 r = Create(device);
    ASSERT_EQ(r.hr, S_OK);
    const D3DKMT_HANDLE primary = AllocationsOf(r.runtimeHandle).at(0);
    Kmd().SetAnswer(brisel::kEscSetDisplayModeBegin, {S_OK, {{esc::kModeSourceId, 7}, {40, 0xBEEF}}});

    auto setMode = device.Func<PFND3DDDI_SETDISPLAYMODE>(kD3d9SetDisplayMode);
    D3DDDIARG_SETDISPLAYMODE mode{r.Handle(), 0};
    EXPECT_EQ(setMode(device.args.hDevice, &mode), S_FALSE) << "the driver's result";
    EXPECT_EQ(D3d9Calls(kD3d9CallSetDisplayMode).size(), 1u);
    auto begins = EscapesOf(brisel::kEscSetDisplayModeBegin);
    auto ends = EscapesOf(brisel::kEscSetDisplayModeEnd);
    ASSERT_EQ(begins.size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(begins[0].U32(esc::kAllocation), primary);
    EXPECT_EQ(begins[0].U32(esc::kRefreshNumerator), 60000u);
    EXPECT_EQ(begins[0].U32(esc::kRefreshDenominator), 1001u);
    EXPECT_EQ(begins[0].U32(esc::kModeSourceId), 0u) << "D3D9 always names source 0";
    EXPECT_EQ(ends[0].U32(esc::kAllocation), primary);
    EXPECT_EQ(ends[0].U32(esc::kModeSourceId), 7u) << "End carries Begin's answer";
    EXPECT_EQ(ends[0].U32(40), 0xBEEFu);

    // An untracked resource: the driver alone.
    Created9 plain = Create(device, ResourceDesc{kD3d9ResRenderTarget, 640, 480});
    mode.hResource = plain.Handle();
    EXPECT_EQ(setMode(device.args.hDevice, &mode), S_FALSE);
    EXPECT_EQ(EscapesOf(brisel::kEscSetDisplayModeBegin).size(), 1u);
    EXPECT_EQ(D3d9Calls(kD3d9CallSetDisplayMode).size(), 2u);
    EXPECT_EQ(Destroy(device, plain.Handle()), S_OK);
    EXPECT_EQ(Destroy(device, r.Handle()), S_OK);
}

TEST_F(D3d9CaptureTest, FullscreenOpenIsRegisteredShadowedAndReleased)
{
    const struct {
        UINT version;
        int shadowKind;
    } cases[] = {{0x6003, kD3d9CallCreateResource2}, {0x3003, kD3d9CallCreateResource}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version);
        ResetKmd();
        FakeD3d9_Reset();
        fakes::Device9& device = NewDevice(c.version);
        AnswerAllocationInfo(800, 600, 22);
        AnswerAllocationSourceMask(0x4);
        const size_t linesBefore = DebugLines().size();

        HANDLE opened = nullptr;
        EXPECT_EQ(Open(device, 0x777, kD3d9OpenFullscreen, &opened), S_OK);
        ASSERT_EQ(DebugLines().size(), linesBefore + 1);
        EXPECT_EQ(DebugLines().back(), "PztOpenResource (800,600)\n");

        auto info = EscapesOf(brisel::kEscQueryAllocationInfo);
        ASSERT_EQ(info.size(), 1u);
        EXPECT_EQ(info[0].U32(esc::kAllocation), 0x777u);
        EXPECT_EQ(info[0].hDevice, device.runtimeHandle);
        auto registrations = EscapesOf(brisel::kEscRegisterShadowBuffer);
        ASSERT_EQ(registrations.size(), 1u);
        const auto& reg = registrations[0];
        EXPECT_EQ(reg.U32(esc::kAllocation), 0x777u);
        EXPECT_EQ(reg.U32(esc::kBufferSize), 800u * 600 * 4);
        EXPECT_EQ(reg.U32(esc::kSourceMask), 0x4u);
        EXPECT_EQ(reg.U32(esc::kWidth), 800u);
        EXPECT_EQ(reg.U32(esc::kHeight), 600u);
        EXPECT_EQ(reg.U32(esc::kFormat), 22u);
        EXPECT_EQ(reg.U32(esc::kPitch), 0u) << "the pitch of an opened surface is not passed";
        void* buffer = reinterpret_cast<void*>(static_cast<uintptr_t>(reg.U64(esc::kBufferAddress)));

        auto shadows = D3d9Calls(c.shadowKind);
        ASSERT_EQ(shadows.size(), 1u);
        EXPECT_EQ(shadows[0].format, kD3d9FormatX8R8G8B8);
        EXPECT_EQ(shadows[0].pool, kD3d9PoolSystemMem);
        EXPECT_EQ(shadows[0].flags, kD3d9ResRenderTarget);
        EXPECT_EQ(shadows[0].rotation, kD3d9RotationIdentity);
        EXPECT_EQ(shadows[0].surfCount, 1u);
        EXPECT_EQ(shadows[0].mipLevels, 0u);
        EXPECT_EQ(shadows[0].pSysMem, buffer);
        EXPECT_EQ(shadows[0].sysMemPitch, 800u * 4);

        // Presented by Blt: copied into the buffer.
        EXPECT_EQ(Present(device, opened, kD3d9PresentBlt), S_OK);
        EXPECT_EQ(D3d9Calls(kD3d9CallBlt).size(), 1u);
        EXPECT_TRUE(HoldsPattern(buffer, 800, 600, 800 * 4));

        // Destruction tells the driver to stop reading the buffer.
        EXPECT_EQ(Destroy(device, opened), S_OK);
        auto releases = EscapesOf(brisel::kEscReleaseShadowBuffer);
        ASSERT_EQ(releases.size(), 1u);
        EXPECT_EQ(releases[0].U32(esc::kAllocation), 0x777u);
        EXPECT_EQ(releases[0].U32(esc::kBufferSize), 800u * 600 * 4);
        EXPECT_EQ(releases[0].U32(esc::kSourceMask), 0u);
        EXPECT_TRUE(IsReleased(buffer));
        EXPECT_EQ(FakeD3d9_LiveResources(), 0);
    }
}

TEST_F(D3d9CaptureTest, OpenWithoutFullscreenIsNotTracked)
{
    fakes::Device9& device = NewDevice();
    AnswerAllocationInfo(800, 600, 22);
    HANDLE opened = nullptr;
    EXPECT_EQ(Open(device, 0x777, 0, &opened), S_OK);
    EXPECT_TRUE(Kmd().Escapes().empty());
    EXPECT_TRUE(DebugLines().empty());
    EXPECT_EQ(RecordOf(device)->FindTrackedSurface(opened), nullptr);
    EXPECT_EQ(Destroy(device, opened), S_OK);
}

TEST_F(D3d9CaptureTest, SurfacesLeftToDeviceDestructionAreReleasedFirst)
{
    fakes::Device9& device = NewDevice();
    Created9 r = Create(device);
    ASSERT_EQ(r.hr, S_OK);
    auto registrations = EscapesOf(brisel::kEscRegisterShadowBuffer);
    ASSERT_EQ(registrations.size(), 1u);
    void* buffer = reinterpret_cast<void*>(static_cast<uintptr_t>(registrations[0].U64(esc::kBufferAddress)));
    const HANDLE shadow = ShadowCreations().at(0).hResult;

    EXPECT_EQ(device.Destroy(), S_OK);
    m_devices.clear();
    auto releases = EscapesOf(brisel::kEscReleaseShadowBuffer);
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].U32(esc::kAllocation), registrations[0].U32(esc::kAllocation));
    auto destroys = D3d9Calls(kD3d9CallDestroyResource);
    ASSERT_EQ(destroys.size(), 1u);
    EXPECT_EQ(destroys[0].hResource, shadow) << "Brisel's own shadow is destroyed; the application's resource is not";
    EXPECT_TRUE(IsReleased(buffer));
    EXPECT_EQ(FakeD3d9_LiveResources(), 1) << "only the application's own resource";
}

// A driver that calls the runtime back from its worker thread (as the D3D9
// runtime allows) while the primary's creation waits: the primary's own
// allocation is registered, one the worker makes for the device is not.
TEST_F(D3d9CaptureTest, PrimaryAllocatedOnADriverThreadIsRegistered)
{
    for (UINT thread : {kAllocateOnWorker, kWorkerAllocatesForDevice}) {
        SCOPED_TRACE(thread);
        ResetKmd();
        fakes::Device9& device = NewDevice();
        const size_t shadowsBefore = ShadowCreations().size();
        FakeUmd_Config()->allocationThread = thread;
        Created9 r = Create(device);
        FakeUmd_Config()->allocationThread = kAllocateOnCaller;
        ASSERT_EQ(r.hr, S_OK);
        const std::vector<D3DKMT_HANDLE> allocations = AllocationsOf(r.runtimeHandle);
        ASSERT_EQ(allocations.size(), 1u);
        auto registrations = EscapesOf(brisel::kEscRegisterShadowBuffer);
        ASSERT_EQ(registrations.size(), 1u);
        EXPECT_EQ(registrations[0].U32(esc::kAllocation), allocations[0]);
        EXPECT_EQ(ShadowCreations().size(), shadowsBefore + 1);
        EXPECT_EQ(Destroy(device, r.Handle()), S_OK);
        EXPECT_EQ(RecordOf(device)->PendingCount(), 0u);
    }
}

}  // namespace
