// TrackedSurface and DeviceRecord list operations: the shadow buffer's size
// and protection, allocation order, lookups, and that destroying a surface
// or a device releases everything it still holds.
#include "DeviceRecord.h"
#include "UmdTestSupport.h"

using namespace umdtest;
using namespace brisel;

namespace {

class CaptureRecordTest : public UmdTest {};

AllocationRecord* MakeAllocation(D3DKMT_HANDLE h)
{
    AllocationRecord* a = NewAllocationRecord();
    a->info.hAllocation = h;
    return a;
}

TEST_F(CaptureRecordTest, EnsureBufferCommitsWidthTimesHeightTimesFourReadWrite)
{
    TrackedSurface* s = NewTrackedSurface();
    ASSERT_NE(s, nullptr);
    s->width = 1920;
    s->height = 1080;
    ASSERT_TRUE(s->EnsureBuffer());
    EXPECT_EQ(s->bufferSize, 1920u * 1080 * 4);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(s->bufferAddress, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
    EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READWRITE));
    EXPECT_GE(info.RegionSize, 1920u * 1080 * 4);
    static_cast<unsigned char*>(s->bufferAddress)[s->bufferSize - 1] = 0xCC;

    void* first = s->bufferAddress;
    s->width = 3840;  // a second call keeps the buffer it has
    EXPECT_TRUE(s->EnsureBuffer());
    EXPECT_EQ(s->bufferAddress, first);
    DestroyTrackedSurface(s);
}

TEST_F(CaptureRecordTest, EnsureBufferFailureLeavesNoBuffer)
{
    const struct {
        UINT width, height;
        bool failAlloc;
    } cases[] = {
        {800, 600, true},
        {0, 600, false},
        {70000, 70000, false},  // 19.6 GB: beyond the size field and the address space
    };
    for (const auto& c : cases) {
        Seams().failVirtualAlloc = c.failAlloc;
        TrackedSurface* s = NewTrackedSurface();
        s->width = c.width;
        s->height = c.height;
        EXPECT_FALSE(s->EnsureBuffer());
        EXPECT_EQ(s->bufferSize, 0u);
        EXPECT_EQ(s->bufferAddress, nullptr);
        DestroyTrackedSurface(s);
    }
}

TEST_F(CaptureRecordTest, AllocationsKeepInsertionOrder)
{
    TrackedSurface* s = NewTrackedSurface();
    EXPECT_EQ(s->FirstAllocation(), nullptr);
    EXPECT_EQ(s->TakeFirstAllocation(), nullptr);
    for (D3DKMT_HANDLE h : {11u, 12u, 13u}) s->AddAllocation(MakeAllocation(h));
    EXPECT_EQ(s->FirstAllocation()->info.hAllocation, 11u);
    EXPECT_TRUE(s->HasAllocation(13));
    EXPECT_FALSE(s->HasAllocation(14));
    AllocationRecord* a = s->TakeFirstAllocation();
    EXPECT_EQ(a->info.hAllocation, 11u);
    delete a;
    EXPECT_EQ(s->FirstAllocation()->info.hAllocation, 12u);
    DestroyTrackedSurface(s);  // 12 and 13 go with it
}

TEST_F(CaptureRecordTest, DeviceFindsSurfacesAndKeepsRetiredPinnedOnesUntilTheUnpin)
{
    auto adapter = fakes::OpenAdapter9(m_entries);
    ASSERT_EQ(adapter->hr, S_OK);
    auto device = fakes::CreateDevice9(*adapter);
    ASSERT_EQ(device->hr, S_OK);
    DeviceRecord* record = FindDeviceByRuntime(device->runtimeHandle);
    ASSERT_NE(record, nullptr);

    TrackedSurface* a = NewTrackedSurface();
    TrackedSurface* b = NewTrackedSurface();
    a->driverResource = reinterpret_cast<HANDLE>(0xA0);
    b->driverResource = reinterpret_cast<HANDLE>(0xB0);
    a->AddAllocation(MakeAllocation(5));
    b->AddAllocation(MakeAllocation(6));
    record->AddTrackedSurface(a);
    record->AddTrackedSurface(b);
    EXPECT_EQ(record->FindTrackedSurface(reinterpret_cast<HANDLE>(0xB0)), b);
    EXPECT_EQ(record->FindTrackedSurface(reinterpret_cast<HANDLE>(0xC0)), nullptr);
    EXPECT_EQ(record->PinSurfaceByAllocation(7), nullptr);
    ASSERT_EQ(record->PinSurfaceByAllocation(6), b);
    // Retired while pinned: unlisted at once, finishable only after the unpin.
    EXPECT_FALSE(record->RetireTrackedSurface(b));
    EXPECT_EQ(record->PinTrackedSurface(reinterpret_cast<HANDLE>(0xB0)), nullptr);
    EXPECT_EQ(record->RetiredSurfacesPinned(), 1u);
    EXPECT_EQ(record->TakeFinishableSurfaces(), nullptr);
    record->UnpinSurface(b);
    EXPECT_EQ(record->RetiredSurfacesPinned(), 0u);
    EXPECT_EQ(record->TakeFinishableSurfaces(), b);
    DestroyTrackedSurface(b);

    EXPECT_TRUE(record->RemoveTrackedSurface(a));
    EXPECT_FALSE(record->RemoveTrackedSurface(a));
    EXPECT_EQ(record->FindTrackedSurface(reinterpret_cast<HANDLE>(0xA0)), nullptr);
    DestroyTrackedSurface(a);

    // Pending records are released with the device.
    record->pendingAllocations.PushBack(MakeAllocation(9));
    EXPECT_EQ(device->Destroy(), S_OK);
    EXPECT_EQ(FindDeviceByRuntime(device->runtimeHandle), nullptr);
    EXPECT_EQ(adapter->Close(), S_OK);
}

TEST_F(CaptureRecordTest, PurgeEmptiesThePendingQueue)
{
    auto adapter = fakes::OpenAdapter9(m_entries);
    auto device = fakes::CreateDevice9(*adapter);
    ASSERT_EQ(device->hr, S_OK);
    DeviceRecord* record = FindDeviceByRuntime(device->runtimeHandle);
    for (D3DKMT_HANDLE h : {1u, 2u, 3u}) record->pendingAllocations.PushBack(MakeAllocation(h));
    EXPECT_EQ(record->PendingCount(), 3u);
    record->PurgePending();
    EXPECT_EQ(record->PendingCount(), 0u);
    device->Destroy();
    adapter->Close();
}

}  // namespace
