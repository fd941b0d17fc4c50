// Device creation through the wrapped adapters and the three runtime
// callbacks Brisel wraps: the callback copy by runtime Version, allocation
// capture only inside a tracked creation, NVIDIA's forced primary, pending
// records dropped by pfnDeallocate2Cb, submit forwarding, and lookups that
// find nothing.
#include <cstring>
#include <thread>

#include "D3d10Device.h"
#include "D3d9Device.h"
#include "DeviceRecord.h"
#include "DxgiPresent.h"
#include "UmdTestSupport.h"

using namespace umdtest;
using brisel::DeviceRecord;

namespace {

class CallbackWrapperTest : public UmdTest {
protected:
    void OpenD3d9(uint32_t vendorId = 0x1002)
    {
        fakes::KmdAdapterConfig config = DefaultAdapter();
        config.vendorId = vendorId;
        Kmd().SetAdapter(config);
        m_adapter = fakes::OpenAdapter9(m_entries);
        ASSERT_EQ(m_adapter->hr, S_OK);
    }
    // The same adapter with a device created on it (m_device).
    void OpenD3d9Device()
    {
        OpenD3d9();
        m_device = fakes::CreateDevice9(*m_adapter);
        ASSERT_EQ(m_device->hr, S_OK);
    }
    void TearDown() override
    {
        if (m_device && SUCCEEDED(m_device->hr)) m_device->Destroy();
        if (m_adapter && SUCCEEDED(m_adapter->hr)) m_adapter->Close();
        UmdTest::TearDown();
    }
    // The callback table the real driver received.
    const D3DDDI_DEVICECALLBACKS* DriverCallbacks()
    {
        auto creates = CallsOfKind(kCallCreateDevice9);
        return creates.empty() ? nullptr : static_cast<const D3DDDI_DEVICECALLBACKS*>(creates.back().callbacks);
    }
    DeviceRecord* Record() { return brisel::FindDeviceByRuntime(m_device->runtimeHandle); }
    // Calls pfnAllocateCb as the real driver would, with `count` allocations.
    HRESULT DriverAllocates(UINT count, HANDLE resource, std::vector<D3DDDI_ALLOCATIONINFO>& infos)
    {
        infos.assign(count, D3DDDI_ALLOCATIONINFO{});
        auto allocate = DdiTableGet<PFND3DDDI_ALLOCATECB>(*DriverCallbacks(), kCbAllocate);
        // In the form of the Version the driver was told.
        return AllocateAs(allocate, m_device->runtimeHandle, resource, m_device->args.Version, infos);
    }

    std::unique_ptr<fakes::Adapter9> m_adapter;
    std::unique_ptr<fakes::Device9> m_device;
};

// Whether the table the driver received holds exactly the runtime's first
// `entries` entries (the wrapped three replaced) and nothing after them.
void ExpectCopyOf(const D3DDDI_DEVICECALLBACKS* given, const fakes::GuardedCallbacks& runtime, unsigned entries)
{
    for (unsigned i = 0; i < kDeviceCallbackCount; ++i) {
        SCOPED_TRACE(testing::Message() << "entry " << i);
        if (i >= entries) {
            EXPECT_EQ(given->entries[i], nullptr) << "beyond the table of the version the driver is told";
        } else if (i == kCbAllocate) {
            EXPECT_EQ(DdiTableGet<PFND3DDDI_ALLOCATECB>(*given, i), &brisel::AllocateCbWrapper);
        } else if (i == kCbSubmitCommand) {
            EXPECT_EQ(DdiTableGet<PFND3DDDI_SUBMITCOMMANDCB>(*given, i), &brisel::SubmitCommandCbWrapper);
        } else if (i == kCbDeallocate2) {
            EXPECT_EQ(DdiTableGet<PFND3DDDI_DEALLOCATE2CB>(*given, i), &brisel::Deallocate2CbWrapper);
        } else {
            EXPECT_EQ(given->entries[i], runtime.Entry(i)) << "the runtime's entry reaches the driver";
        }
    }
}

// The runtime's table ends at an inaccessible page: a copy longer than the
// runtime's structure faults. Each band: the runtime's Version, the entries
// its table has, the entries the driver receives and the Version it is told.
TEST_F(CallbackWrapperTest, CallbackCopyHoldsExactlyTheTableOfTheVersionTheDriverIsTold)
{
    OpenD3d9();
    const struct {
        UINT version;
        unsigned runtimeEntries;
        unsigned copied;
        UINT shown;
    } cases[] = {
        {0x000C, 22, 22, 0x000C}, {0x2003, 22, 22, 0x2003}, {0x3003, 22, 22, 0x3003}, {0x3004, 28, 28, 0x3004},
        {0x4001, 28, 28, 0x4001}, {0x4002, 29, 29, 0x4002}, {0x5001, 29, 29, 0x5001}, {0x5002, 50, 50, 0x5002},
        {0x6000, 52, 52, 0x6000}, {0x6001, 54, 54, 0x6001}, {0x6002, 55, 55, 0x6002}, {0x6003, 55, 55, 0x6003},
        {0x7000, 62, 55, 0x6003}, {0x7001, 62, 55, 0x6003},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version);
        fakes::GuardedCallbacks runtime(c.runtimeEntries);
        ASSERT_NE(runtime.Table(), nullptr);
        auto device = fakes::CreateDevice9(*m_adapter, c.version, 9, runtime.Table());
        ASSERT_EQ(device->hr, S_OK);
        const D3DDDI_DEVICECALLBACKS* given = DriverCallbacks();
        ASSERT_NE(given, nullptr);
        EXPECT_NE(given, runtime.Table()) << "the driver gets Brisel's wrapped copy";
        ExpectCopyOf(given, runtime, c.copied);
        EXPECT_EQ(CallsOfKind(kCallCreateDevice9).back().version, c.shown);
        EXPECT_EQ(device->Destroy(), S_OK);
        FakeUmd_Reset();
    }
}

TEST_F(CallbackWrapperTest, DeviceCreationKeepsRecordAndEscapeCallbackAndWrapsDestroy)
{
    ASSERT_NO_FATAL_FAILURE(OpenD3d9Device());
    DeviceRecord* record = Record();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->driverDevice, m_device->args.hDevice);
    EXPECT_EQ(record->interfaceVersion, 9u);
    EXPECT_EQ(reinterpret_cast<DdiProc>(brisel::LoadEscapeCb(record->adapter)), m_device->callbacks.entries[kCbEscape]);
    EXPECT_EQ(m_device->Func<PFND3DDDI_DESTROYDEVICE>(kD3d9DestroyDevice), &brisel::D3d9DestroyDeviceWrapper);
    EXPECT_NE(m_device->funcs.entries[kD3d9CreateResource], nullptr) << "the real driver's entries reach the runtime";
    EXPECT_EQ(brisel::FindDeviceByDriver(m_device->args.hDevice), record);
}

TEST_F(CallbackWrapperTest, RealDeviceFunctionsAreCopiedByRuntimeVersion)
{
    OpenD3d9();
    const struct {
        UINT version;
        UINT bytes;
    } cases[] = {
        {0x2002, 396}, {0x2003, 484}, {0x3003, 484}, {0x3004, 524},
        {0x4002, 560}, {0x5002, 564}, {0x6001, 572}, {0x7000, 572},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version);
        auto device = fakes::CreateDevice9(*m_adapter, c.version);
        ASSERT_EQ(device->hr, S_OK);
        auto* record = static_cast<brisel::D3d9DeviceRecord*>(brisel::FindDeviceByDriver(device->args.hDevice));
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->realDeviceFuncsBytes, c.bytes);
        EXPECT_EQ(record->createArgs.Version, c.version) << "kept as the runtime passed it";
        EXPECT_EQ(record->createArgs.pCallbacks, DriverCallbacks());
        // The runtime's table holds the real entries except the wrapped ones.
        for (unsigned i = 0; i < kD3d9DestroyDevice; ++i) {
            if (i >= kD3d9CreateResource && i <= kD3d9Present) continue;
            EXPECT_EQ(record->realDeviceFuncs.entries[i], device->funcs.entries[i]) << "entry " << i;
        }
        EXPECT_EQ(device->Destroy(), S_OK);
    }
}

TEST_F(CallbackWrapperTest, DestroyEntryTheDriverLeftEmptyStaysEmpty)
{
    OpenD3d9();
    FakeUmd_Config()->leaveDestroyDeviceEmpty = TRUE;
    auto device = fakes::CreateDevice9(*m_adapter);
    ASSERT_EQ(device->hr, S_OK);
    EXPECT_EQ(device->funcs.entries[kD3d9DestroyDevice], nullptr);
    // Nothing can destroy such a device through the runtime; drop the record here.
    brisel::DestroyDeviceRecord(brisel::FindDeviceByDriver(device->args.hDevice));
}

TEST_F(CallbackWrapperTest, FailedDeviceCreationLeavesNoRecordAndRestoresArguments)
{
    OpenD3d9();
    FakeUmd_Config()->createDeviceResult = E_OUTOFMEMORY;
    auto device = fakes::CreateDevice9(*m_adapter, 0x7000);
    EXPECT_EQ(device->hr, E_OUTOFMEMORY);
    EXPECT_EQ(device->args.pCallbacks, &device->callbacks);
    EXPECT_EQ(device->args.Version, 0x7000u);
    EXPECT_EQ(brisel::DeviceList().Count(), 0u);

    FakeUmd_Config()->createDeviceResult = S_OK;
    Seams().recordFailures = 1;
    device = fakes::CreateDevice9(*m_adapter);
    EXPECT_EQ(device->hr, E_OUTOFMEMORY);
    EXPECT_EQ(CallsOfKind(kCallCreateDevice9).size(), 1u) << "the real driver is not asked after heap exhaustion";
}

TEST_F(CallbackWrapperTest, AllocationsOutsideATrackedCreationAreNotRecorded)
{
    OpenD3d9();
    FakeUmd_Config()->allocationsAtCreateDevice = 2;
    m_device = fakes::CreateDevice9(*m_adapter);
    ASSERT_EQ(m_device->hr, S_OK);
    EXPECT_EQ(fakes::RuntimeLogSnapshot().allocates.size(), 1u) << "the driver allocated through the wrapper";
    EXPECT_EQ(Record()->PendingCount(), 0u);
    std::vector<D3DDDI_ALLOCATIONINFO> infos;
    EXPECT_EQ(DriverAllocates(3, fakes::NewRuntimeHandle(), infos), S_OK);
    EXPECT_EQ(Record()->PendingCount(), 0u);
}

TEST_F(CallbackWrapperTest, AllocationsOfATrackedCreationReachTheSurfaceInOrder)
{
    ASSERT_NO_FATAL_FAILURE(OpenD3d9Device());
    DeviceRecord* record = Record();
    record->capturingThread = GetCurrentThreadId();
    record->capturingAllocations = 1;
    record->PurgePending();

    // The resource creation of the real driver allocates through the runtime.
    D3DDDI_SURFACEINFO surface{1920, 1080, 0, nullptr, 0, 0};
    D3DDDIARG_CREATERESOURCE create{};
    create.pSurfList = &surface;
    create.SurfCount = 2;
    create.hResource = fakes::NewRuntimeHandle();
    create.VidPnSourceId = 1;
    create.Flags = kD3d9ResPrimary | kD3d9ResRenderTarget;
    // The real driver's own entry: Brisel's creation wrapper would take the
    // records itself.
    auto realCreate =
        static_cast<brisel::D3d9DeviceRecord*>(record)->Real<PFND3DDDI_CREATERESOURCE>(kD3d9CreateResource);
    ASSERT_EQ(realCreate(m_device->args.hDevice, &create), S_OK);

    auto allocates = fakes::RuntimeLogSnapshot().allocates;
    ASSERT_EQ(allocates.size(), 1u);
    ASSERT_EQ(record->PendingCount(), 2u);

    brisel::TrackedSurface* tracked = brisel::NewTrackedSurface();
    ASSERT_NE(tracked, nullptr);
    record->MovePendingToSurface(tracked);
    EXPECT_EQ(record->capturingAllocations, 0);
    EXPECT_EQ(record->capturingThread, 0u) << "no thread records after the capture";
    EXPECT_EQ(record->PendingCount(), 0u);
    for (UINT i = 0; i < 2; ++i) {
        brisel::AllocationRecord* a = tracked->TakeFirstAllocation();
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->kmResource, allocates[0].hKMResource);
        EXPECT_EQ(a->info.hAllocation, allocates[0].infos[i].hAllocation) << "filled in by the runtime, in order";
        EXPECT_EQ(a->info.VidPnSourceId, 1u);
        EXPECT_EQ(a->info.Flags, kAllocationFlagPrimary);
        delete a;
    }
    EXPECT_EQ(tracked->TakeFirstAllocation(), nullptr);
    brisel::DestroyTrackedSurface(tracked);
}

// A free-threaded device lets other threads allocate while one creates a
// tracked resource: their allocations for other resources are not that
// resource's.
TEST_F(CallbackWrapperTest, AllocationsOfOtherThreadsDuringATrackedCreationAreNotRecorded)
{
    ASSERT_NO_FATAL_FAILURE(OpenD3d9Device());
    Record()->capturingThread = GetCurrentThreadId();
    Record()->capturingAllocations = 1;
    std::vector<D3DDDI_ALLOCATIONINFO> infos;
    HRESULT otherResult = E_FAIL;
    std::thread other([&] { otherResult = DriverAllocates(2, fakes::NewRuntimeHandle(), infos); });
    other.join();
    EXPECT_EQ(otherResult, S_OK);
    EXPECT_EQ(Record()->PendingCount(), 0u);
    EXPECT_EQ(DriverAllocates(1, fakes::NewRuntimeHandle(), infos), S_OK);
    EXPECT_EQ(Record()->PendingCount(), 1u) << "the creating thread's own allocation";
}

TEST_F(CallbackWrapperTest, RecordingStopsWhenARecordCannotBeAllocatedButTheResultStands)
{
    ASSERT_NO_FATAL_FAILURE(OpenD3d9Device());
    Record()->capturingThread = GetCurrentThreadId();
    Record()->capturingAllocations = 1;
    Seams().recordFailAfter = 1;
    std::vector<D3DDDI_ALLOCATIONINFO> infos;
    EXPECT_EQ(DriverAllocates(3, fakes::NewRuntimeHandle(), infos), S_OK);
    EXPECT_EQ(Record()->PendingCount(), 1u);
    EXPECT_NE(infos[2].hAllocation, 0u) << "the runtime still served the whole call";
}

TEST_F(CallbackWrapperTest, NvidiaForcesOnlyASingleAllocationToPrimary)
{
    const struct {
        uint32_t vendor;
        UINT count;
        bool forced;
    } cases[] = {
        {0x10DE, 1, true},
        {0x10DE, 2, false},
        {0x1002, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.vendor << " x" << c.count);
        OpenD3d9(c.vendor);
        m_device = fakes::CreateDevice9(*m_adapter);
        ASSERT_EQ(m_device->hr, S_OK);
        fakes::ResetRuntimeLog();
        Record()->capturingThread = GetCurrentThreadId();  // this thread creates the primary
        Record()->forcedSourceId = 3;
        Record()->forcePrimaryAllocation = 1;
        std::vector<D3DDDI_ALLOCATIONINFO> infos;
        ASSERT_EQ(DriverAllocates(c.count, fakes::NewRuntimeHandle(), infos), S_OK);
        auto allocates = fakes::RuntimeLogSnapshot().allocates;
        ASSERT_EQ(allocates.size(), 1u);
        for (const auto& info : allocates[0].infos) {
            EXPECT_EQ(info.VidPnSourceId, c.forced ? 3u : 0u);
            EXPECT_EQ(info.Flags, c.forced ? kAllocationFlagPrimary : 0u);
        }
        m_device->Destroy();
        m_device.reset();
        m_adapter->Close();
        m_adapter.reset();
    }
}

TEST_F(CallbackWrapperTest, DeallocateDropsAtMostOnePendingRecordPerHandle)
{
    ASSERT_NO_FATAL_FAILURE(OpenD3d9Device());
    DeviceRecord* record = Record();
    auto pend = [record](D3DKMT_HANDLE h) {
        brisel::AllocationRecord* a = brisel::NewAllocationRecord();
        a->info.hAllocation = h;
        record->pendingAllocations.PushBack(a);
    };
    auto deallocate = DdiTableGet<PFND3DDDI_DEALLOCATE2CB>(*DriverCallbacks(), kCbDeallocate2);
    const struct {
        std::vector<D3DKMT_HANDLE> pending;
        std::vector<D3DKMT_HANDLE> freed;
        HANDLE resource;
        unsigned left;
    } cases[] = {
        {{7, 8}, {7, 7}, reinterpret_cast<HANDLE>(0x50), 1},  // double free in one list
        {{7, 7, 8}, {7}, reinterpret_cast<HANDLE>(0x50), 2},  // one record per entry
        {{7, 7, 8}, {7, 7, 8}, reinterpret_cast<HANDLE>(0x50), 0},
        {{7, 8}, {7, 8}, nullptr, 2},  // hResource 0: untouched
        {{7}, {9}, reinterpret_cast<HANDLE>(0x50), 1},
    };
    for (const auto& c : cases) {
        record->PurgePending();
        for (D3DKMT_HANDLE h : c.pending) pend(h);
        fakes::ResetRuntimeLog();
        D3DDDICB_DEALLOCATE2 args{c.resource, static_cast<UINT>(c.freed.size()), c.freed.data(), 0};
        EXPECT_EQ(deallocate(m_device->runtimeHandle, &args), S_OK);
        EXPECT_EQ(record->PendingCount(), c.left);
        auto log = fakes::RuntimeLogSnapshot();
        ASSERT_EQ(log.deallocates.size(), 1u) << "the runtime is always called";
        EXPECT_EQ(log.deallocates[0].hDevice, m_device->runtimeHandle);
        EXPECT_EQ(log.deallocates[0].handles, c.freed);
    }
    record->PurgePending();
}

TEST_F(CallbackWrapperTest, SubmitCommandIsForwardedWithTheRuntimeDevice)
{
    ASSERT_NO_FATAL_FAILURE(OpenD3d9Device());
    D3DDDIARG_PRESENT present{};
    EXPECT_EQ(m_device->Func<PFND3DDDI_PRESENT>(kD3d9Present)(m_device->args.hDevice, &present), S_OK);
    auto log = fakes::RuntimeLogSnapshot();
    ASSERT_EQ(log.submits.size(), 1u);
    EXPECT_EQ(log.submits[0], m_device->runtimeHandle);
}

TEST_F(CallbackWrapperTest, CallbacksOfUnknownDevicesAreRefusedWithoutCallingTheRuntime)
{
    OpenD3d9();
    HANDLE stranger = fakes::NewRuntimeHandle();
    D3DDDI_ALLOCATIONINFO info{};
    D3DDDICB_ALLOCATE alloc{nullptr, 0, nullptr, 0, 1, &info};
    EXPECT_EQ(brisel::AllocateCbWrapper(stranger, &alloc), E_INVALIDARG);
    D3DDDICB_DEALLOCATE2 dealloc{};
    EXPECT_EQ(brisel::Deallocate2CbWrapper(stranger, &dealloc), E_INVALIDARG);
    EXPECT_EQ(brisel::SubmitCommandCbWrapper(stranger, nullptr), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9DestroyDeviceWrapper(stranger), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9CreateDeviceWrapper(stranger, nullptr), E_INVALIDARG);
    D3D10DDIARG_CREATEDEVICE create10{};
    create10.Interface = 0xB000B;
    EXPECT_EQ(brisel::D3d10CreateDeviceWrapper(D3D10DDI_HADAPTER{stranger}, &create10), E_INVALIDARG);
    brisel::D3d10DestroyDeviceWrapper(D3D10DDI_HDEVICE{stranger});  // nothing to forward to: no effect
    auto log = fakes::RuntimeLogSnapshot();
    EXPECT_TRUE(log.allocates.empty());
    EXPECT_TRUE(log.deallocates.empty());
    EXPECT_TRUE(log.submits.empty());
}

TEST_F(CallbackWrapperTest, DriverTeardownStillReachesTheRuntimeThroughTheWrappers)
{
    ASSERT_NO_FATAL_FAILURE(OpenD3d9Device());
    D3DDDI_SURFACEINFO surface{640, 480, 0, nullptr, 0, 0};
    D3DDDIARG_CREATERESOURCE create{};
    create.pSurfList = &surface;
    create.SurfCount = 1;
    create.hResource = fakes::NewRuntimeHandle();
    ASSERT_EQ(m_device->Func<PFND3DDDI_CREATERESOURCE>(kD3d9CreateResource)(m_device->args.hDevice, &create), S_OK);
    fakes::ResetRuntimeLog();
    EXPECT_EQ(m_device->Destroy(), S_OK);
    m_device.reset();
    EXPECT_EQ(fakes::RuntimeLogSnapshot().deallocates.size(), 1u) << "freed during pfnDestroyDevice";
    EXPECT_EQ(brisel::DeviceList().Count(), 0u);
}

// ---------------------------------------------------------------------------
// D3D10/11 devices

class D3d10DeviceTest : public UmdTest {};

TEST_F(D3d10DeviceTest, CreationWrapsCallbacksKeepsTablesAndDestroyDropsTheRecord)
{
    auto adapter = fakes::OpenAdapter10_2(m_entries, 0xB0022);
    ASSERT_EQ(adapter->hr, S_OK);
    auto device = fakes::CreateDevice10(*adapter, 0xB0022, 0x00020000);
    ASSERT_EQ(device->hr, S_OK);
    auto creates = CallsOfKind(kCallCreateDevice10);
    ASSERT_EQ(creates.size(), 1u);
    auto* given = static_cast<const D3DDDI_DEVICECALLBACKS*>(creates[0].callbacks);
    EXPECT_EQ(DdiTableGet<PFND3DDDI_ALLOCATECB>(*given, kCbAllocate), &brisel::AllocateCbWrapper);

    auto* record =
        static_cast<brisel::D3d10DeviceRecord*>(brisel::FindDeviceByDriver(device->args.hDrvDevice.pDrvPrivate));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->runtimeDevice, device->runtimeHandle);
    EXPECT_EQ(record->layout.deviceFuncsBytes, 680u);
    // The runtime's present callback is kept; its table entry now holds the wrapper.
    EXPECT_NE(record->runtimePresentCb, nullptr);
    EXPECT_NE(reinterpret_cast<DdiProc>(record->runtimePresentCb), device->dxgiCallbacks.entries[kDxgiCbPresent]);
    EXPECT_EQ(DdiTableGet<PFNDDXGIDDI_PRESENTCB>(device->dxgiCallbacks, kDxgiCbPresent), &brisel::DxgiPresentCbWrapper);
    EXPECT_NE(record->Real<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice), nullptr);
    EXPECT_EQ(device->Func<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice), &brisel::D3d10DestroyDeviceWrapper);

    // The driver's flush submits through the wrapper with the runtime's handle.
    device->Func<PFND3D10DDI_FLUSH>(kD3d10Flush)(device->args.hDrvDevice);
    EXPECT_EQ(fakes::RuntimeLogSnapshot().submits.at(0), device->runtimeHandle);

    device->Destroy();
    EXPECT_EQ(CallsOfKind(kCallDestroyDevice10).size(), 1u);
    EXPECT_EQ(brisel::DeviceList().Count(), 0u);
    EXPECT_EQ(adapter->Close(), S_OK);
}

// The D3D10/11 table follows the Interface; Version is the runtime's build
// number (the Vista runtime's 4 << 16 | 6000 here) and says nothing about it.
// Each band: the Interface, the entries of the runtime's table and those the
// driver receives; 0 received: the driver keeps the runtime's own table.
TEST_F(D3d10DeviceTest, CallbackCopyFollowsTheInterfaceAndNeverReadsPastTheRuntimesTable)
{
    auto adapter = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(adapter->hr, S_OK);
    const struct {
        UINT iface;
        unsigned runtimeEntries;
        unsigned copied;
    } cases[] = {
        {0xA0001, 22, 22}, {0xA000A, 22, 22}, {0xB0001, 22, 22}, {0xB000B, 22, 22}, {0xB000E, 22, 22},
        {0xB000F, 28, 28}, {0xB0010, 29, 29}, {0xB001F, 29, 29}, {0xB0020, 50, 50}, {0xB0021, 50, 50},
        {0xB0022, 55, 55}, {0xB0023, 62, 62}, {0xB0024, 62, 0},  {0xB00FF, 62, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.iface);
        fakes::GuardedCallbacks runtime(c.runtimeEntries);
        ASSERT_NE(runtime.Table(), nullptr);
        auto device = fakes::CreateDevice10(*adapter, c.iface, 4 << 16 | 6000, runtime.Table());
        ASSERT_EQ(device->hr, S_OK);
        const auto creates = CallsOfKind(kCallCreateDevice10);
        ASSERT_FALSE(creates.empty());
        EXPECT_EQ(creates.back().interfaceVersion, c.iface);
        EXPECT_EQ(creates.back().version, UINT(4 << 16 | 6000)) << "Version reaches the driver unchanged";
        auto* given = static_cast<const D3DDDI_DEVICECALLBACKS*>(creates.back().callbacks);
        if (c.copied) {
            ExpectCopyOf(given, runtime, c.copied);
        } else {
            EXPECT_EQ(given, runtime.Table()) << "a table newer than Brisel knows stays the runtime's";
        }
        auto* record = brisel::FindDeviceByRuntime(device->runtimeHandle);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(reinterpret_cast<DdiProc>(brisel::LoadEscapeCb(record->adapter)), runtime.Entry(kCbEscape));
        device->Destroy();
        FakeUmd_Reset();
    }
    EXPECT_EQ(adapter->Close(), S_OK);
}

TEST_F(D3d10DeviceTest, InterfaceAboveElevenIsRefused)
{
    auto adapter = fakes::OpenAdapter10_2(m_entries, 0xB000B);
    ASSERT_EQ(adapter->hr, S_OK);
    auto device = fakes::CreateDevice10(*adapter, 0xC0000);
    EXPECT_EQ(device->hr, E_INVALIDARG);
    EXPECT_TRUE(CallsOfKind(kCallCreateDevice10).empty());
    EXPECT_EQ(adapter->Close(), S_OK);
}

TEST_F(D3d10DeviceTest, FailedRealCreationIsReturnedAndLeavesNoRecord)
{
    auto adapter = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(adapter->hr, S_OK);
    FakeUmd_Config()->createDeviceResult = static_cast<HRESULT>(0x887A0004);
    auto device = fakes::CreateDevice10(*adapter, 0xA0000);
    EXPECT_EQ(device->hr, static_cast<HRESULT>(0x887A0004));
    EXPECT_EQ(device->args.pKTCallbacks, &device->callbacks);
    EXPECT_EQ(adapter->Close(), S_OK);
}

}  // namespace
