// DXGI presentation wrapping: full create-present-destroy cycles in both
// creation forms, the Flip and Blt copy rules, the copy and flush forms by
// Interface, the NVIDIA non-forwarding rule, the shadow of an opened surface,
// fallback-mode re-queries, present contexts that are not Brisel's, and
// SetDisplayMode with its escapes and source-id move.
#include <cstring>
#include <functional>

#include "D3d10TestSupport.h"
#include "KmdFormats.h"

namespace umdtest {
namespace {

using brisel::kEscBltPresentDone;
using brisel::kEscQueryAllocationSourceMask;
using brisel::kEscRegisterShadowBuffer;
using brisel::kEscReleaseShadowBuffer;
using brisel::kEscSetDisplayModeBegin;
using brisel::kEscSetDisplayModeEnd;

constexpr UINT kSeed = 0x01000000;

// A fake-driver hook that runs the std::function<void()> it is given.
void RunAction(void* action) { (*static_cast<std::function<void()>*>(action))(); }
constexpr HRESULT kRuntimeResult = static_cast<HRESULT>(0x087A0001);  // a success code of the runtime's own

class DxgiPresentTest : public D3d10Test {
protected:
    // A device with a tracked primary of width x height on `sourceId`,
    // whose source is active.
    void* OpenWithPrimary(UINT iface, UINT vendor, UINT sourceId, UINT width = 96, UINT height = 40)
    {
        Open(iface, vendor);
        AnswerAllocationInfo(width, height, 87);
        AnswerActiveSources(1u << sourceId);
        FakeUmd_Config()->frameSeed = kSeed;
        return CreatePrimary(sourceId, width, height);
    }
    size_t Copies() { return CallsOfKind(kCallDxgiBlt).size() + CallsOfKind(kCallResourceCopy10).size(); }
};

// ---------------------------------------------------------------------------
// Full cycles

struct CycleCase {
    UINT iface;
    bool d3d11Form;
};

class DxgiCycleTest : public DxgiPresentTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(DxgiCycleTest, PrimaryFlipLandsInTheShadowAndDestructionReleasesIt)
{
    const CycleCase c = GetParam();
    void* primary = OpenWithPrimary(c.iface, kVendorOther, 0);
    ShadowRegistration r = LastRegistration();
    ASSERT_NE(r.address, nullptr);
    EXPECT_EQ(r.allocation, AllocationOf(primary));
    EXPECT_EQ(r.sourceMask, 1u);
    EXPECT_EQ(r.width, 96u);
    EXPECT_EQ(r.height, 40u);
    EXPECT_EQ(r.format, 87u);
    EXPECT_EQ(r.size, r.pitch * 40);
    auto staging = CallsOfKind(kCallCreateResource10).at(1);
    D3D10DDIARG_CREATERESOURCE d{};
    std::memcpy(&d, staging.args, sizeof d);
    EXPECT_EQ(d.Format, c.d3d11Form ? 87u : 88u);
    auto maps = CallsOfKind(kCallStagingMap10);
    ASSERT_EQ(maps.size(), 1u);
    UINT mapArgs[3];
    std::memcpy(mapArgs, maps[0].args, sizeof mapArgs);
    EXPECT_EQ(mapArgs[0], 0u);
    EXPECT_EQ(mapArgs[1], 1u) << "mapped for reading";
    EXPECT_EQ(mapArgs[2], 0u);

    ASSERT_FALSE(ShadowHoldsFrame(r, kSeed));
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));
    auto presents = fakes::RuntimeLogSnapshot().presents;
    ASSERT_EQ(presents.size(), 1u);
    EXPECT_EQ(presents[0].hDevice, m_device->runtimeHandle);
    EXPECT_EQ(presents[0].pDXGIContext, kRuntimeContext) << "the runtime gets its own context back";
    EXPECT_EQ(presents[0].hSrcAllocation, AllocationOf(primary));
    auto flushes = CallsOfKind(kCallFlush10);
    ASSERT_EQ(flushes.size(), 1u);
    EXPECT_EQ(flushes[0].count, 1u) << "one-argument flush below 0xB000F";

    FakeUmd_Config()->frameSeed = kSeed + 7;
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed + 7)) << "every frame is copied";

    FakeUmd_Reset();
    DestroyResource(primary);
    // Both forms release what they registered: the kernel-mode driver must
    // stop reading the mapped shadow before it is unmapped.
    auto releases = EscapesOf(kEscReleaseShadowBuffer);
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].U32(12), AllocationOf(primary));
    EXPECT_EQ(releases[0].U32(16), r.size);
    EXPECT_EQ(releases[0].U32(20), 1u) << "primary on source 0";
    auto destroys = CallsOfKind(kCallDestroyResource10);
    ASSERT_EQ(destroys.size(), 2u);
    EXPECT_EQ(destroys[0].handleOut, primary) << "the real resource goes first";
    EXPECT_EQ(CallsOfKind(kCallStagingUnmap10).size(), 1u);
    EXPECT_EQ(destroys[1].handleOut, CallsOfKind(kCallStagingUnmap10)[0].handleOut) << "then its shadow";
    EXPECT_EQ(Record()->FindTrackedSurface(primary), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Forms, DxgiCycleTest, ::testing::Values(CycleCase{0xA0000, false}, CycleCase{0xB000B, true}));

// ---------------------------------------------------------------------------
// Copy forms by Interface

TEST_F(DxgiPresentTest, InterfaceB001FCopiesWithBltAndFlushesWithTwoArguments)
{
    void* primary = OpenWithPrimary(0xB001F, kVendorOther, 0);
    ShadowRegistration r = LastRegistration();
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    auto blts = CallsOfKind(kCallDxgiBlt);
    ASSERT_EQ(blts.size(), 1u);
    EXPECT_TRUE(CallsOfKind(kCallResourceCopy10).empty());
    DXGI_DDI_ARG_BLT b{};
    std::memcpy(&b, blts[0].args, sizeof b);
    EXPECT_EQ(b.hSrcResource.pDrvPrivate, primary);
    EXPECT_EQ(b.DstLeft, 0u);
    EXPECT_EQ(b.DstTop, 0u);
    EXPECT_EQ(b.DstRight, 96u);
    EXPECT_EQ(b.DstBottom, 40u);
    EXPECT_EQ(b.Flags, 2u);
    EXPECT_EQ(b.Rotate, 1u);
    EXPECT_EQ(b.DstSubresource, 0u);
    EXPECT_EQ(b.SrcSubresource, 0u);
    auto flushes = CallsOfKind(kCallFlush10);
    ASSERT_EQ(flushes.size(), 1u);
    EXPECT_EQ(flushes[0].count, 2u);
    UINT flags = 0xFF;
    std::memcpy(&flags, flushes[0].args, sizeof flags);
    EXPECT_EQ(flags, 0u);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, InterfaceB0020CopiesWithResourceCopy)
{
    void* primary = OpenWithPrimary(0xB0020, kVendorOther, 0);
    ShadowRegistration r = LastRegistration();
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    auto copies = CallsOfKind(kCallResourceCopy10);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].handleIn, Record()->FindTrackedSurface(primary)->shadowResource) << "destination: the shadow";
    EXPECT_EQ(copies[0].handleOut, primary);
    EXPECT_TRUE(CallsOfKind(kCallDxgiBlt).empty());
    EXPECT_EQ(CallsOfKind(kCallFlush10).at(0).count, 2u);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, PresentOneAttachesItsNodeAndCopies)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    ShadowRegistration r = LastRegistration();
    EXPECT_EQ(Present1(primary, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));
    auto presents = fakes::RuntimeLogSnapshot().presents;
    ASSERT_EQ(presents.size(), 1u);
    EXPECT_EQ(presents[0].pDXGIContext, kRuntimeContext);
    DestroyResource(primary);
}

// ---------------------------------------------------------------------------
// Flip and Blt rules

TEST_F(DxgiPresentTest, InactiveSourceIsNotCopied)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    AnswerActiveSources(0x2);
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_EQ(Copies(), 0u);
    EXPECT_TRUE(CallsOfKind(kCallFlush10).empty());
    EXPECT_EQ(fakes::RuntimeLogSnapshot().presents.size(), 1u) << "still forwarded";
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, FlipOfUntrackedSurfaceCopiesIntoTheSurfaceOwningTheAllocation)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    ShadowRegistration r = LastRegistration();
    void* backBuffer = CreateTexture(96, 40, 0x28);
    ASSERT_EQ(Record()->FindTrackedSurface(backBuffer), nullptr);
    // The driver flips the back buffer onto the primary's allocation.
    FakeUmd_Config()->presentSrcAllocation = AllocationOf(primary);
    EXPECT_EQ(Present(backBuffer, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed)) << "the back buffer's frame, in the primary's shadow";
    DestroyResource(backBuffer);
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, FlipOfUntrackedSurfaceWithUnknownAllocationCopiesNothing)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    void* other = CreateTexture(96, 40, 0x28);
    EXPECT_EQ(Present(other, kDxgiPresentFlip), S_OK);
    EXPECT_EQ(Copies(), 0u);
    DestroyResource(other);
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, BltToADestinationResourceCopiesNothing)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorNv, 0);
    void* dst = CreateTexture(96, 40, 0x28);
    EXPECT_EQ(Present(primary, kDxgiPresentBlt, dst), S_OK);
    EXPECT_EQ(Copies(), 0u);
    EXPECT_TRUE(EscapesOf(kEscBltPresentDone).empty());
    EXPECT_EQ(fakes::RuntimeLogSnapshot().presents.size(), 1u);
    DestroyResource(dst);
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, BltWithoutDestinationCopiesWithoutFlush)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    ShadowRegistration r = LastRegistration();
    AnswerActiveSources(0);  // Blt copies do not look at the active sources
    EXPECT_EQ(Present(primary, kDxgiPresentBlt), S_OK);
    EXPECT_EQ(Copies(), 1u);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));
    EXPECT_TRUE(CallsOfKind(kCallFlush10).empty());
    EXPECT_TRUE(EscapesOf(kEscBltPresentDone).empty()) << "only NVIDIA hears of Blt presents";
    DestroyResource(primary);
}

struct ForwardCase {
    UINT vendor;
    UINT sourceId;
    UINT flags;
    bool forwarded;
    bool bltDone;
};

class DxgiForwardTest : public DxgiPresentTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(DxgiForwardTest, OnlyNvidiaBltOfProxySourcePrimaryStaysAway)
{
    const ForwardCase c = GetParam();
    void* primary = OpenWithPrimary(0xB0022, c.vendor, c.sourceId);
    fakes::SetRuntimePresentResult(kRuntimeResult);
    HRESULT hr = Present(primary, c.flags);
    auto presents = fakes::RuntimeLogSnapshot().presents;
    EXPECT_EQ(presents.size(), c.forwarded ? 1u : 0u);
    EXPECT_EQ(hr, c.forwarded ? kRuntimeResult : S_OK);
    EXPECT_EQ(Copies(), 1u) << "the frame is copied either way";
    auto done = EscapesOf(kEscBltPresentDone);
    ASSERT_EQ(done.size(), c.bltDone ? 1u : 0u);
    if (c.bltDone) {
        EXPECT_EQ(done[0].U32(12), AllocationOf(primary));
        EXPECT_EQ(done[0].hDevice, nullptr);
    }
    DestroyResource(primary);
}

INSTANTIATE_TEST_SUITE_P(Vendors, DxgiForwardTest,
                         ::testing::Values(ForwardCase{kVendorNv, kFirstProxySource, kDxgiPresentBlt, false, true},
                                           ForwardCase{kVendorNv, kFirstProxySource + 1, kDxgiPresentBlt, false, true},
                                           ForwardCase{kVendorNv, kFirstProxySource - 1, kDxgiPresentBlt, true, true},
                                           ForwardCase{kVendorNv, kFirstProxySource, kDxgiPresentFlip, true, false},
                                           ForwardCase{kVendorNv, kFirstProxySource, kDxgiPresentFlip | kDxgiPresentBlt,
                                                       false, true},
                                           ForwardCase{kVendorOther, kFirstProxySource, kDxgiPresentBlt, true, false}));

TEST_F(DxgiPresentTest, FallbackModeRequeriesTheSourceMaskAtEveryFlip)
{
    Open(0xB0022, kVendorOther, true);
    AnswerAllocationInfo(96, 40, 87);
    void* primary = CreatePrimary(0, 96, 40);  // source mask 1
    AnswerActiveSources(0x4);
    AnswerAllocationSourceMask(0x4);
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    auto queries = EscapesOf(kEscQueryAllocationSourceMask);
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0].U32(12), AllocationOf(primary));
    EXPECT_EQ(Copies(), 2u) << "the answered mask is the one tested";
    EXPECT_EQ(Record()->FindTrackedSurface(primary)->sourceMask, 0x4u);
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, WithoutFallbackModeTheCreationMaskStands)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    AnswerActiveSources(0x4);
    AnswerAllocationSourceMask(0x4);
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(EscapesOf(kEscQueryAllocationSourceMask).empty());
    EXPECT_EQ(Copies(), 0u);
    DestroyResource(primary);
}

// ---------------------------------------------------------------------------
// Opened shared surfaces

TEST_F(DxgiPresentTest, OpenedSurfaceGetsItsShadowAtTheFirstFlip)
{
    Open(0xB0022);
    AnswerAllocationInfo(800, 480, 87);
    AnswerAllocationSourceMask(0x1);
    AnswerActiveSources(0x1);
    FakeUmd_Config()->openedWidth = 800;
    FakeUmd_Config()->openedHeight = 480;
    FakeUmd_Config()->frameSeed = kSeed;
    void* opened = OpenShared(0x2468);
    ASSERT_TRUE(EscapesOf(kEscRegisterShadowBuffer).empty());

    Seams().heapFailures = 1;
    EXPECT_EQ(Present(opened, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(EscapesOf(kEscRegisterShadowBuffer).empty()) << "no memory: no shadow";
    EXPECT_EQ(Copies(), 0u);

    EXPECT_EQ(Present(opened, kDxgiPresentFlip), S_OK);
    ShadowRegistration r = LastRegistration();
    EXPECT_EQ(r.allocation, 0x2468u);
    EXPECT_EQ(r.width, 800u);
    EXPECT_EQ(r.height, 480u);
    EXPECT_EQ(r.size, r.pitch * 480);
    auto creates = CallsOfKind(kCallCreateResource10);
    ASSERT_EQ(creates.size(), 1u);
    D3D11DDIARG_CREATERESOURCE d{};
    std::memcpy(&d, creates[0].args, sizeof d);
    EXPECT_EQ(d.Usage, 3u);
    EXPECT_EQ(d.BindFlags, 0x80u);
    EXPECT_EQ(d.MapFlags, 1u);
    EXPECT_EQ(d.Format, 88u);
    EXPECT_EQ(d.MipLevels, 1u);
    EXPECT_EQ(d.ArraySize, 1u);
    EXPECT_EQ(d.SampleDesc.Count, 1u);
    EXPECT_EQ(d.pPrimaryDesc, nullptr);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));

    EXPECT_EQ(Present(opened, kDxgiPresentFlip), S_OK);
    EXPECT_EQ(CallsOfKind(kCallCreateResource10).size(), 1u) << "one shadow per surface";
    DestroyResource(opened);
    auto releases = EscapesOf(kEscReleaseShadowBuffer);
    ASSERT_EQ(releases.size(), 1u) << "the registered shadow is released before it is unmapped";
    EXPECT_EQ(releases[0].U32(12), 0x2468u);
    EXPECT_EQ(releases[0].U32(16), r.size);
    EXPECT_EQ(releases[0].U32(20), 0u);
    EXPECT_EQ(CallsOfKind(kCallStagingUnmap10).size(), 1u);
}

// The runtime is creating a tracked NVIDIA proxy-source primary on one thread
// while a present callback makes an opened surface's shadow: the shadow's
// allocation is neither recorded for that primary nor forced to Primary.
TEST_F(DxgiPresentTest, ShadowMadeDuringATrackedCreationIsNotTakenForItsAllocation)
{
    Open(0xB0022, kVendorNv);
    AnswerAllocationInfo(800, 480, 87);
    AnswerAllocationSourceMask(0x1);
    AnswerActiveSources(0x1);
    FakeUmd_Config()->openedWidth = 800;
    FakeUmd_Config()->openedHeight = 480;
    void* opened = OpenShared(0x2468);
    brisel::D3d10DeviceRecord* record = Record();
    record->PurgePending();
    record->capturingThread = GetCurrentThreadId() ^ 4;  // another thread is creating
    record->capturingAllocations = 1;
    record->forcedSourceId = kFirstProxySource;
    record->forcePrimaryAllocation = 1;

    EXPECT_EQ(Present(opened, kDxgiPresentFlip), S_OK);
    record->capturingAllocations = 0;
    record->forcePrimaryAllocation = 0;
    ASSERT_EQ(CallsOfKind(kCallCreateResource10).size(), 1u) << "the shadow was made";
    EXPECT_EQ(record->PendingCount(), 0u);
    auto allocates = fakes::RuntimeLogSnapshot().allocates;
    ASSERT_FALSE(allocates.empty());
    ASSERT_FALSE(allocates.back().infos.empty());
    EXPECT_EQ(allocates.back().infos[0].Flags & kAllocationFlagPrimary, 0u);
    EXPECT_EQ(Copies(), 1u);
    DestroyResource(opened);
}

// ---------------------------------------------------------------------------
// Present contexts that are not Brisel's

TEST_F(DxgiPresentTest, DriverPresentingWithItsOwnContextIsForwardedUntouched)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorNv, kFirstProxySource);
    FakeUmd_Config()->dxgiPresentMode = kPresentOwnContext;
    fakes::SetRuntimePresentResult(kRuntimeResult);
    EXPECT_EQ(Present(primary, kDxgiPresentBlt), kRuntimeResult);
    auto presents = fakes::RuntimeLogSnapshot().presents;
    ASSERT_EQ(presents.size(), 1u) << "forwarded even on the NVIDIA Blt path";
    EXPECT_EQ(presents[0].pDXGIContext, reinterpret_cast<VOID*>(static_cast<ULONG_PTR>(0x0C0FFEE0)));
    EXPECT_EQ(Copies(), 0u);
    EXPECT_EQ(brisel::PresentContextsOut(), 0u) << "the unanswered node went when the Present returned";
    DestroyResource(primary);
}

// A node stays its present's own until that Present returns, even after the
// callback used it: another present cannot be given the same address
// meanwhile and have it taken for this one's.
TEST_F(DxgiPresentTest, NodeStaysOwnedUntilItsPresentReturns)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    unsigned outAfterCallback = 0;
    void* nestedNode = nullptr;
    std::function<void()> after = [&] {
        outAfterCallback = brisel::PresentContextsOut();
        EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);  // another present meanwhile
        nestedNode = CallsOfKind(kCallDxgiPresent).back().handleOut;
    };
    FakeUmd_Config()->afterPresentCallback = &RunAction;
    FakeUmd_Config()->afterPresentCallbackContext = &after;
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    void* firstNode = CallsOfKind(kCallDxgiPresent).at(0).handleOut;
    EXPECT_EQ(outAfterCallback, 1u);
    EXPECT_NE(nestedNode, firstNode);
    auto presents = fakes::RuntimeLogSnapshot().presents;
    ASSERT_EQ(presents.size(), 2u);
    EXPECT_EQ(presents[0].pDXGIContext, kRuntimeContext);
    EXPECT_EQ(presents[1].pDXGIContext, kRuntimeContext);
    EXPECT_EQ(Copies(), 2u);
    EXPECT_EQ(brisel::PresentContextsOut(), 0u);
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, ContextHandedBackTwiceIsUsedOnce)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    FakeUmd_Config()->dxgiPresentMode = kPresentCallsBackTwice;
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    auto presents = fakes::RuntimeLogSnapshot().presents;
    ASSERT_EQ(presents.size(), 2u);
    EXPECT_EQ(presents[0].pDXGIContext, kRuntimeContext);
    EXPECT_NE(presents[1].pDXGIContext, kRuntimeContext) << "the second call passes through as it came";
    EXPECT_EQ(Copies(), 1u);
    EXPECT_EQ(brisel::PresentContextsOut(), 0u);
    DestroyResource(primary);
}

// A driver hands the context back during its Present or never (a failed or
// dropped present): such nodes neither pile up nor stop the capture.
TEST_F(DxgiPresentTest, PresentsNeverHandedBackLeaveNothingAndCaptureGoesOn)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    FakeUmd_Config()->dxgiPresentMode = kPresentNoCallback;
    FakeUmd_Config()->recordCalls = FALSE;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
        ASSERT_EQ(brisel::PresentContextsOut(), 0u) << "present " << i;
    }
    FakeUmd_Reset();
    ASSERT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_NE(CallsOfKind(kCallDxgiPresent).at(0).handleOut, kRuntimeContext) << "still a node of ours";
    EXPECT_EQ(Copies(), 1u);
    DestroyResource(primary);
}

// The runtime destroys the presented resource while the driver's thread is
// inside the copy: the shadow and the record live until the copy is done.
TEST_F(DxgiPresentTest, ResourceDestroyedDuringItsCopyIsReleasedAfterTheCopy)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorNv, 0);
    size_t destroysSeen = 0, releasesSeen = 0;
    std::function<void()> duringCopy = [&] {
        FakeUmd_Config()->onResourceCopy = nullptr;
        DestroyResource(primary);
        destroysSeen = CallsOfKind(kCallDestroyResource10).size();
        releasesSeen = EscapesOf(kEscReleaseShadowBuffer).size();
    };
    FakeUmd_Config()->onResourceCopy = &RunAction;
    FakeUmd_Config()->onResourceCopyContext = &duringCopy;
    const size_t destroysBefore = CallsOfKind(kCallDestroyResource10).size();

    EXPECT_EQ(Present(primary, kDxgiPresentFlip | kDxgiPresentBlt), S_OK);
    EXPECT_EQ(destroysSeen, destroysBefore + 1) << "only the application's resource, inside the copy";
    EXPECT_EQ(releasesSeen, 0u);
    EXPECT_EQ(CallsOfKind(kCallFlush10).size(), 1u);
    EXPECT_EQ(EscapesOf(kEscBltPresentDone).size(), 1u) << "the copy finished with the surface alive";
    EXPECT_EQ(EscapesOf(kEscReleaseShadowBuffer).size(), 1u) << "then the surface was released";
    auto destroys = CallsOfKind(kCallDestroyResource10);
    ASSERT_EQ(destroys.size(), destroysBefore + 2);
    EXPECT_EQ(destroys.back().handleOut, CallsOfKind(kCallResourceCopy10).at(0).handleIn) << "and its shadow last";
    EXPECT_EQ(Record()->FindTrackedSurface(primary), nullptr);
}

TEST_F(DxgiPresentTest, PresentCallbackOfUnknownDeviceIsRefused)
{
    Open(0xB0022);
    DXGIDDICB_PRESENT cb{};
    cb.pDXGIContext = kRuntimeContext;
    EXPECT_EQ(brisel::DxgiPresentCbWrapper(reinterpret_cast<HANDLE>(0x3), &cb), E_INVALIDARG);
    EXPECT_EQ(cb.pDXGIContext, kRuntimeContext);
    EXPECT_EQ(brisel::DxgiPresentCbWrapper(m_device->runtimeHandle, nullptr), E_INVALIDARG)
        << "the runtime's callback refuses a missing argument itself";
}

TEST_F(DxgiPresentTest, WrapperAsRuntimeCallbackCopiesAndAnswersItself)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 0);
    ShadowRegistration r = LastRegistration();
    Record()->runtimePresentCb = &brisel::DxgiPresentCbWrapper;  // a table the wrapper already sat in
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));
    EXPECT_TRUE(fakes::RuntimeLogSnapshot().presents.empty());
    DestroyResource(primary);
}

// ---------------------------------------------------------------------------
// SetDisplayMode

TEST_F(DxgiPresentTest, UntrackedSetDisplayModeGoesStraightToTheDriver)
{
    Open(0xB0022);
    FakeUmd_Config()->dxgiResult = static_cast<HRESULT>(0x087A0002);
    void* texture = CreateTexture(64, 64, 0x28);
    EXPECT_EQ(SetDisplayMode(texture), static_cast<HRESULT>(0x087A0002));
    EXPECT_EQ(CallsOfKind(kCallDxgiSetDisplayMode).size(), 1u);
    EXPECT_TRUE(EscapesOf(kEscSetDisplayModeBegin).empty());
    DestroyResource(texture);
}

TEST_F(DxgiPresentTest, TrackedSetDisplayModeIsBracketedAndFollowsTheAnsweredSource)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorOther, 1);
    Kmd().SetAnswer(kEscSetDisplayModeEnd, {S_OK, {{24, 3}}});
    EXPECT_EQ(SetDisplayMode(primary), S_OK);
    EXPECT_EQ(CallsOfKind(kCallDxgiSetDisplayMode).size(), 1u);
    auto begin = EscapesOf(kEscSetDisplayModeBegin);
    auto end = EscapesOf(kEscSetDisplayModeEnd);
    ASSERT_EQ(begin.size(), 1u);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(begin[0].U32(12), AllocationOf(primary));
    EXPECT_EQ(begin[0].U32(16), 60000u);
    EXPECT_EQ(begin[0].U32(20), 1001u);
    EXPECT_EQ(begin[0].U32(24), 1u);
    EXPECT_EQ(std::memcmp(begin[0].sent.data() + 12, end[0].sent.data() + 12, 68), 0) << "the begin packet, resent";
    brisel::TrackedSurface* s = Record()->FindTrackedSurface(primary);
    EXPECT_EQ(s->vidPnSourceId, 3u);
    EXPECT_EQ(s->sourceMask, 0x8u);

    // A failed end escape answers nothing: the surface stays.
    Kmd().SetAnswer(kEscSetDisplayModeEnd, {E_FAIL, {}});
    EXPECT_EQ(SetDisplayMode(primary), S_OK);
    EXPECT_EQ(s->vidPnSourceId, 3u);
    DestroyResource(primary);
}

TEST_F(DxgiPresentTest, NvidiaProxySourceModeGoesThroughTheRuntime)
{
    void* primary = OpenWithPrimary(0xB0022, kVendorNv, kFirstProxySource);
    EXPECT_EQ(SetDisplayMode(primary), S_OK);
    EXPECT_TRUE(CallsOfKind(kCallDxgiSetDisplayMode).empty());
    auto modes = fakes::RuntimeLogSnapshot().setDisplayModes;
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].hDevice, m_device->runtimeHandle);
    EXPECT_EQ(modes[0].args.hPrimaryAllocation, AllocationOf(primary));
    EXPECT_EQ(modes[0].args.PrivateDriverFormatAttribute, 0u);
    EXPECT_EQ(EscapesOf(kEscSetDisplayModeEnd).size(), 1u);
    DestroyResource(primary);
}

}  // namespace
}  // namespace umdtest
