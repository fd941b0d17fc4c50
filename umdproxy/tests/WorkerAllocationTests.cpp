// Allocations a driver makes on a thread of its own while a tracked
// resource is being created: the resource's own allocation is recorded for
// it (and on NVIDIA forced Primary for the proxy source); allocations of the
// device itself, of other resources, or made while more than one tracked
// creation is in flight are not.
#include <thread>

#include "D3d10TestSupport.h"
#include "SystemSeams.h"

namespace umdtest {
namespace {

constexpr UINT kSeed = 0x02000000;

class WorkerAllocationTest : public D3d10Test {
protected:
    // The runtime's record of the allocate call made for `resource` (null:
    // the device's own).
    static const fakes::RecordedAllocate* AllocateOf(const std::vector<fakes::RecordedAllocate>& log, HANDLE resource)
    {
        for (const auto& a : log) {
            if (a.hResource == resource) return &a;
        }
        return nullptr;
    }
    HANDLE RuntimeHandleOf(void* storage)
    {
        for (const auto& [s, h] : m_runtimeHandles) {
            if (s == storage) return h;
        }
        return nullptr;
    }
};

struct WorkerCase {
    UINT vendor;
    UINT sourceId;
    UINT allocationThread;  // FakeAllocationThread
    bool forced;  // the primary's allocation is marked Primary for its source by Brisel
};

class WorkerPrimaryTest : public WorkerAllocationTest, public ::testing::WithParamInterface<WorkerCase> {};

TEST_P(WorkerPrimaryTest, PrimaryAllocatedOffTheCreatingThreadIsCaptured)
{
    const WorkerCase c = GetParam();
    Open(0xB0022, c.vendor);
    AnswerAllocationInfo(96, 40, 87);
    AnswerActiveSources(1u << c.sourceId);
    FakeUmd_Config()->frameSeed = kSeed;
    FakeUmd_Config()->allocationThread = c.allocationThread;
    void* primary = CreatePrimary(c.sourceId, 96, 40);
    FakeUmd_Config()->allocationThread = kAllocateOnCaller;

    auto log = fakes::RuntimeLogSnapshot().allocates;
    const fakes::RecordedAllocate* own = AllocateOf(log, RuntimeHandleOf(primary));
    ASSERT_NE(own, nullptr);
    ASSERT_EQ(own->infos.size(), 1u);
    if (c.forced) {
        EXPECT_EQ(own->infos[0].Flags & kAllocationFlagPrimary, kAllocationFlagPrimary);
        EXPECT_EQ(own->infos[0].VidPnSourceId, c.sourceId);
    }
    if (c.allocationThread == kWorkerAllocatesForDevice) {
        const fakes::RecordedAllocate* device = AllocateOf(log, nullptr);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->infos.at(0).Flags, 0u) << "the device's own allocation is never forced";
    }

    ShadowRegistration r = LastRegistration();
    EXPECT_EQ(r.allocation, own->infos[0].hAllocation) << "registered for the primary's allocation";
    brisel::TrackedSurface* tracked = Record()->FindTrackedSurface(primary);
    ASSERT_NE(tracked, nullptr);
    EXPECT_EQ(tracked->primaryAllocation, own->infos[0].hAllocation);
    EXPECT_EQ(Record()->PendingCount(), 0u);
    EXPECT_EQ(Present(primary, kDxgiPresentFlip), S_OK);
    EXPECT_TRUE(ShadowHoldsFrame(r, kSeed));
    DestroyResource(primary);
}

INSTANTIATE_TEST_SUITE_P(Threads, WorkerPrimaryTest,
                         ::testing::Values(WorkerCase{kVendorOther, 0, kAllocateOnWorker, false},
                                           WorkerCase{kVendorOther, 0, kWorkerAllocatesForDevice, false},
                                           WorkerCase{kVendorNv, kFirstProxySource, kAllocateOnCaller, true},
                                           WorkerCase{kVendorNv, kFirstProxySource, kAllocateOnWorker, true},
                                           WorkerCase{kVendorNv, kFirstProxySource, kWorkerAllocatesForDevice, true}));

// The rule itself, for an allocate call from another thread during NVIDIA's
// proxy-primary creation.
TEST_F(WorkerAllocationTest, OnlyTheSoleCreationsOwnResourceIsTakenFromAnotherThread)
{
    enum Handle { kOwn, kNone, kOther };
    const struct {
        int creations;  // tracked creations begun on this thread
        bool ended;  // and the capture ended before the call
        Handle handle;  // hResource of the other thread's call
        bool taken;
    } cases[] = {
        {1, false, kOwn, true},  {1, false, kNone, false}, {1, false, kOther, false},
        {2, false, kOwn, false}, {1, true, kOwn, false},   {0, false, kOwn, false},
    };
    Open(0xB0022, kVendorNv);
    brisel::D3d10DeviceRecord* record = Record();
    auto* callbacks = static_cast<const D3DDDI_DEVICECALLBACKS*>(CallsOfKind(kCallCreateDevice10).back().callbacks);
    auto allocate = DdiTableGet<PFND3DDDI_ALLOCATECB>(*callbacks, kCbAllocate);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.creations << (c.ended ? " ended" : "") << " handle " << c.handle);
        fakes::ResetRuntimeLog();
        const HANDLE resource = fakes::NewRuntimeHandle();
        for (int i = 0; i < c.creations; ++i) record->BeginCapture(resource);
        if (c.ended) record->EndCapture();
        record->forcedSourceId = 3;
        record->forcePrimaryAllocation = 1;

        D3DDDI_ALLOCATIONINFO info{};
        D3DDDICB_ALLOCATE args{};
        args.hResource = c.handle == kOwn ? resource : c.handle == kOther ? fakes::NewRuntimeHandle() : nullptr;
        args.NumAllocations = 1;
        args.pAllocationInfo = &info;
        HRESULT hr = E_FAIL;
        std::thread driverThread([&] { hr = allocate(m_device->runtimeHandle, &args); });
        driverThread.join();
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(record->PendingCount(), c.taken ? 1u : 0u);
        auto log = fakes::RuntimeLogSnapshot().allocates;
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].infos.at(0).Flags, c.taken ? kAllocationFlagPrimary : 0u);

        record->forcePrimaryAllocation = 0;
        for (int i = 0; i < c.creations; ++i) record->EndCapture();
        record->PurgePending();
        EXPECT_EQ(record->trackedCreations, 0);
    }
}

// The moment between judging a driver thread's allocation and recording it:
// the creation it was judged for ends and the device's next tracked creation
// begins (on another thread). The allocation belongs to the ended creation
// and never reaches the next one's pending list.
brisel::D3d10DeviceRecord* s_switchedRecord;
HANDLE s_nextResource;
bool s_switchPending;

bool SwitchCreationWhileRecording()
{
    if (!s_switchPending) return true;
    s_switchPending = false;
    std::thread creator([] {
        s_switchedRecord->EndCapture();
        s_switchedRecord->BeginCapture(s_nextResource);
        s_switchedRecord->PurgePending();
    });
    creator.join();
    return true;
}

TEST_F(WorkerAllocationTest, AnEndedCreationsAllocationNeverReachesTheNextCreation)
{
    Open(0xB0022);
    brisel::D3d10DeviceRecord* record = Record();
    auto* callbacks = static_cast<const D3DDDI_DEVICECALLBACKS*>(CallsOfKind(kCallCreateDevice10).back().callbacks);
    auto allocate = DdiTableGet<PFND3DDDI_ALLOCATECB>(*callbacks, kCbAllocate);
    const HANDLE first = fakes::NewRuntimeHandle();
    s_switchedRecord = record;
    s_nextResource = fakes::NewRuntimeHandle();
    s_switchPending = true;
    record->BeginCapture(first);
    brisel::TestOverrides().pfnRecordMayAllocate = &SwitchCreationWhileRecording;

    D3DDDI_ALLOCATIONINFO info{};
    D3DDDICB_ALLOCATE args{};
    args.hResource = first;
    args.NumAllocations = 1;
    args.pAllocationInfo = &info;
    HRESULT hr = E_FAIL;
    std::thread driverThread([&] { hr = allocate(m_device->runtimeHandle, &args); });
    driverThread.join();
    EXPECT_FALSE(s_switchPending) << "the switch ran between judging and recording";
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(record->PendingCount(), 0u) << "the first creation's allocation is in the next one's list";

    record->EndCapture();
    record->PurgePending();
}

}  // namespace
}  // namespace umdtest
