// Capture failures never reach the application: VirtualAlloc, record
// allocation, every escape and the shadow creation fail in turn, and the
// results the fake runtime receives stay the real driver's. Failures of the
// real driver itself come back unchanged and leave no capture state behind.
#include "D3d9TestSupport.h"
#include "KmdFormats.h"

using namespace umdtest;
namespace esc = brisel::esc;

namespace {

// What the runtime saw of one cycle: a tracked primary created, presented
// by Flip (with its source active) and by Blt, and destroyed.
struct CycleResults {
    HRESULT create = E_FAIL;
    HRESULT flip = E_FAIL;
    HRESULT blt = E_FAIL;
    HRESULT destroy = E_FAIL;
    HANDLE handle = nullptr;
    HANDLE driverHandle = nullptr;  // what the real driver returned for the application's resource
};

class D3d9CaptureFailure : public D3d9Test {
protected:
    void SetUp() override
    {
        D3d9Test::SetUp();
        FakeD3d9_Config()->presentResult = S_FALSE;
    }
    CycleResults Cycle(fakes::Device9& device)
    {
        CycleResults out;
        Created9 r = Create(device);
        out.create = r.hr;
        out.handle = r.Handle();
        FakeD3d9Call first;
        if (FakeD3d9_GetCall(0, &first)) out.driverHandle = first.hResult;
        out.flip = Present(device, r.Handle(), kD3d9PresentFlip);
        out.blt = Present(device, r.Handle(), kD3d9PresentBlt);
        out.destroy = Destroy(device, r.Handle());
        return out;
    }
    void ExpectDriverResults(const CycleResults& r)
    {
        EXPECT_EQ(r.create, S_OK);
        EXPECT_EQ(r.handle, r.driverHandle);
        EXPECT_EQ(r.flip, S_FALSE) << "the real present's own result";
        EXPECT_EQ(r.blt, S_FALSE);
        EXPECT_EQ(r.destroy, S_OK);
        EXPECT_EQ(D3d9Calls(kD3d9CallPresent).size(), 2u);
        EXPECT_EQ(FakeD3d9_LiveResources(), 0);
    }
};

TEST_F(D3d9CaptureFailure, VirtualAllocFailureOnlyLosesTheCapture)
{
    fakes::Device9& device = NewDevice();
    AnswerActiveSources(0x2);
    Seams().failVirtualAlloc = true;
    CycleResults r = Cycle(device);
    ExpectDriverResults(r);
    EXPECT_TRUE(EscapesOf(brisel::kEscRegisterShadowBuffer).empty());
    EXPECT_TRUE(EscapesOf(brisel::kEscReleaseShadowBuffer).empty()) << "nothing was registered";
    EXPECT_TRUE(ShadowCreations().empty());
    EXPECT_TRUE(D3d9Calls(kD3d9CallBlt).empty()) << "a Blt present without a shadow only presents";
    EXPECT_EQ(RecordOf(device)->PendingCount(), 0u) << "the allocations went with the surface";
}

TEST_F(D3d9CaptureFailure, SurfaceRecordAllocationFailureLeavesTheResourceUntracked)
{
    fakes::Device9& device = NewDevice();
    AnswerActiveSources(0x2);
    Seams().recordFailures = 1;
    CycleResults r = Cycle(device);
    ExpectDriverResults(r);
    EXPECT_TRUE(EscapesOf(brisel::kEscRegisterShadowBuffer).empty());
    EXPECT_EQ(RecordOf(device)->PendingCount(), 0u);
    EXPECT_TRUE(ShadowCreations().empty());
    EXPECT_TRUE(D3d9Calls(kD3d9CallBlt).empty());
}

TEST_F(D3d9CaptureFailure, AllocationRecordFailureRegistersNothingAndMakesNoShadow)
{
    fakes::Device9& device = NewDevice();
    AnswerActiveSources(0x2);
    Seams().recordFailAfter = 1;  // the surface record succeeds, its allocation record does not
    CycleResults r = Cycle(device);
    ExpectDriverResults(r);
    EXPECT_TRUE(EscapesOf(brisel::kEscRegisterShadowBuffer).empty());
    EXPECT_TRUE(ShadowCreations().empty()) << "no allocation: no primary allocation, no shadow";
}

TEST_F(D3d9CaptureFailure, FailedEscapesOnlyLoseTheCapture)
{
    const struct {
        const char* name;
        uint32_t command;
        size_t blts;  // copies made by the cycle's two presents
    } cases[] = {
        {"active-source query", brisel::kEscQueryActiveSourceMask, 1},  // the flip is not copied
        {"registration", brisel::kEscRegisterShadowBuffer, 2},  // ignored on creation
        {"release", brisel::kEscReleaseShadowBuffer, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetKmd();
        FakeD3d9_Reset();
        FakeD3d9_Config()->presentResult = S_FALSE;
        fakes::Device9& device = NewDevice();
        AnswerActiveSources(0x2);
        FailEscape(c.command, E_FAIL);
        CycleResults r = Cycle(device);
        ExpectDriverResults(r);
        EXPECT_EQ(D3d9Calls(kD3d9CallBlt).size(), c.blts);
    }
}

TEST_F(D3d9CaptureFailure, FailedShadowCreationOnlyPresents)
{
    fakes::Device9& device = NewDevice();
    AnswerActiveSources(0x2);
    FakeD3d9_Config()->sysMemCreateResult = E_OUTOFMEMORY;
    CycleResults r = Cycle(device);
    ExpectDriverResults(r);
    EXPECT_EQ(ShadowCreations().size(), 1u) << "tried once";
    EXPECT_TRUE(D3d9Calls(kD3d9CallBlt).empty()) << "neither present has a shadow to copy into";
    EXPECT_EQ(EscapesOf(brisel::kEscRegisterShadowBuffer).size(), 1u);
    EXPECT_EQ(EscapesOf(brisel::kEscReleaseShadowBuffer).size(), 1u) << "the registered buffer is still released";
    EXPECT_EQ(D3d9Calls(kD3d9CallDestroyResource).size(), 1u) << "no shadow to destroy";
}

TEST_F(D3d9CaptureFailure, FailedCopyDoesNotChangeThePresentResult)
{
    fakes::Device9& device = NewDevice();
    AnswerActiveSources(0x2);
    FakeD3d9_Config()->bltResult = E_INVALIDARG;
    CycleResults r = Cycle(device);
    ExpectDriverResults(r);
    EXPECT_EQ(D3d9Calls(kD3d9CallBlt).size(), 2u);
}

TEST_F(D3d9CaptureFailure, FailedRealCreationReturnsItsResultAndLeavesNothing)
{
    fakes::Device9& device = NewDevice();
    FakeD3d9_Config()->createResult = E_OUTOFMEMORY;
    Created9 r = Create(device);
    EXPECT_EQ(r.hr, E_OUTOFMEMORY);
    EXPECT_EQ(r.Handle(), r.runtimeHandle) << "the argument keeps the runtime's handle";
    brisel::D3d9DeviceRecord* record = RecordOf(device);
    EXPECT_EQ(record->trackedHead, nullptr);
    EXPECT_EQ(record->capturingAllocations, 0);
    EXPECT_EQ(record->capturingThread, 0u) << "no thread records after the capture";
    EXPECT_EQ(record->PendingCount(), 0u);
    EXPECT_TRUE(ShadowCreations().empty());
    EXPECT_TRUE(Kmd().Escapes().empty());

    // Later allocations outside a tracked creation are not recorded.
    FakeD3d9_Config()->createResult = S_OK;
    Created9 plain = Create(device, ResourceDesc{kD3d9ResRenderTarget, 640, 480});
    EXPECT_EQ(plain.hr, S_OK);
    EXPECT_EQ(record->PendingCount(), 0u);
    EXPECT_EQ(Destroy(device, plain.Handle()), S_OK);
}

TEST_F(D3d9CaptureFailure, OpenedSurfaceFailuresReturnTheOpenResult)
{
    const struct {
        const char* name;
        bool failInfo;
        bool failRegister;
        bool failVirtual;
        bool failRecord;
        const char* line;
    } cases[] = {
        {"allocation info", true, false, false, false, "PztOpenResource (0,0)\n"},
        {"registration", false, true, false, false, "PztOpenResource (640,480)\n"},
        {"VirtualAlloc", false, false, true, false, "PztOpenResource (640,480)\n"},
        {"surface record", false, false, false, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetKmd();
        FakeD3d9_Reset();
        fakes::Device9& device = NewDevice();
        AnswerAllocationInfo(640, 480, 22, c.failInfo ? E_FAIL : S_OK);
        if (c.failRegister) FailEscape(brisel::kEscRegisterShadowBuffer);
        Seams().failVirtualAlloc = c.failVirtual;
        Seams().recordFailures = c.failRecord ? 1 : 0;
        const size_t lines = DebugLines().size();

        HANDLE opened = nullptr;
        EXPECT_EQ(Open(device, 0x999, kD3d9OpenFullscreen, &opened), S_OK);
        EXPECT_NE(opened, nullptr);
        if (c.line) {
            ASSERT_EQ(DebugLines().size(), lines + 1);
            EXPECT_EQ(DebugLines().back(), c.line);
        } else {
            EXPECT_EQ(DebugLines().size(), lines);
        }
        EXPECT_EQ(RecordOf(device)->FindTrackedSurface(opened), nullptr);
        EXPECT_TRUE(ShadowCreations().empty());
        EXPECT_EQ(Present(device, opened, kD3d9PresentBlt), S_OK);
        EXPECT_TRUE(D3d9Calls(kD3d9CallBlt).empty());
        EXPECT_EQ(Destroy(device, opened), S_OK);
        EXPECT_TRUE(EscapesOf(brisel::kEscReleaseShadowBuffer).empty());
        Seams().failVirtualAlloc = false;
    }

    // The driver's own refusal comes back unchanged, with nothing asked of the kernel-mode driver.
    ResetKmd();
    FakeD3d9_Config()->openResult = E_INVALIDARG;
    EXPECT_EQ(Open(NewDevice(), 0x999, kD3d9OpenFullscreen, nullptr), E_INVALIDARG);
    EXPECT_TRUE(Kmd().Escapes().empty());
}

}  // namespace
