// A runtime that hands one DXGI callback table to several D3D10/11 devices:
// every device's presents reach the runtime's own pfnPresentCb, whichever
// device was created first or is gone, and the table gets the runtime's
// function back with its last device.
#include "D3d10TestSupport.h"
#include "DxgiCallbackTables.h"

namespace umdtest {
namespace {

constexpr UINT kIface = 0xB0022;

class DxgiCallbackTableTest : public D3d10Test {
protected:
    void TearDown() override
    {
        for (auto& d : m_others) {
            if (d && d->hr == S_OK) d->Destroy();
        }
        m_others.clear();
        D3d10Test::TearDown();
        EXPECT_EQ(brisel::DxgiCallbackTablesHeld(), 0u) << "a table record outlived its devices";
    }
    fakes::Device10& AnotherDevice()
    {
        m_others.push_back(fakes::CreateDevice10(*m_adapter, kIface));
        EXPECT_EQ(m_others.back()->hr, S_OK);
        return *m_others.back();
    }
    // How many presents of `device` reached the runtime with its own context.
    static size_t PresentsReaching(const fakes::Device10& device)
    {
        size_t n = 0;
        for (const auto& p : fakes::RuntimeLogSnapshot().presents) {
            if (p.hDevice == device.runtimeHandle && p.pDXGIContext == kRuntimeContext) ++n;
        }
        return n;
    }
    static PFNDDXGIDDI_PRESENTCB SharedEntry()
    {
        return DdiTableGet<PFNDDXGIDDI_PRESENTCB>(*fakes::SharedDxgiCallbacks(), kDxgiCbPresent);
    }

    std::vector<std::unique_ptr<fakes::Device10>> m_others;
};

struct SharedCase {
    fakes::DxgiTableMode mode;
    bool firstGoneBeforePresents;  // the device that installed the wrapper is destroyed first
};

class DxgiSharedTableTest : public DxgiCallbackTableTest, public ::testing::WithParamInterface<SharedCase> {};

TEST_P(DxgiSharedTableTest, EveryDeviceOfTheTableReachesTheRuntimeOncePerPresent)
{
    const SharedCase c = GetParam();
    fakes::SetRuntimeDxgiTableMode(c.mode);
    Open(kIface);
    fakes::Device10& second = AnotherDevice();
    fakes::Device10& third = AnotherDevice();
    ASSERT_EQ(second.args.DXGIBaseDDI.pDXGIBaseCallbacks, m_device->args.DXGIBaseDDI.pDXGIBaseCallbacks);
    EXPECT_EQ(SharedEntry(), &brisel::DxgiPresentCbWrapper);
    EXPECT_EQ(brisel::DxgiCallbackTablesHeld(), 1u);

    fakes::SetRuntimePresentResult(static_cast<HRESULT>(0x087A0001));
    if (c.firstGoneBeforePresents) {
        DestroyDevice();
        EXPECT_EQ(SharedEntry(), &brisel::DxgiPresentCbWrapper) << "two devices still use the table";
    } else {
        EXPECT_EQ(PresentWithoutSurface(*m_device), static_cast<HRESULT>(0x087A0001));
        EXPECT_EQ(PresentsReaching(*m_device), 1u);
    }
    EXPECT_EQ(PresentWithoutSurface(second), static_cast<HRESULT>(0x087A0001)) << "the runtime's answer, not Brisel's";
    EXPECT_EQ(PresentWithoutSurface(third), static_cast<HRESULT>(0x087A0001));
    EXPECT_EQ(PresentsReaching(second), 1u);
    EXPECT_EQ(PresentsReaching(third), 1u);
    EXPECT_EQ(fakes::RuntimeLogSnapshot().presents.size(), c.firstGoneBeforePresents ? 2u : 3u);

    second.Destroy();
    third.Destroy();
    m_others.clear();
    DestroyDevice();
    EXPECT_EQ(SharedEntry(), fakes::RuntimeDxgiPresentCb()) << "the last device gives the entry back";
    EXPECT_EQ(brisel::DxgiCallbackTablesHeld(), 0u);

    // The runtime reuses the table as it is now for a new device.
    fakes::Device10& later = AnotherDevice();
    EXPECT_EQ(PresentWithoutSurface(later), static_cast<HRESULT>(0x087A0001));
    EXPECT_EQ(PresentsReaching(later), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, DxgiSharedTableTest,
                         ::testing::Values(SharedCase{fakes::DxgiTableMode::Shared, false},
                                           SharedCase{fakes::DxgiTableMode::Shared, true},
                                           SharedCase{fakes::DxgiTableMode::SharedRefilled, false},
                                           SharedCase{fakes::DxgiTableMode::SharedRefilled, true}));

// No memory for the table's record: the device is refused before the real
// driver sees it, and the table stays the runtime's.
TEST_F(DxgiCallbackTableTest, TableRecordHeapExhaustionRefusesTheDevice)
{
    fakes::SetRuntimeDxgiTableMode(fakes::DxgiTableMode::Shared);
    Open(kIface);
    Seams().recordFailAfter = 1;  // the device record succeeds, the table's is already there
    fakes::Device10& second = AnotherDevice();
    EXPECT_EQ(second.hr, S_OK) << "a table with a record needs no new one";
    second.Destroy();
    m_others.clear();
    DestroyDevice();

    Seams().recordFailAfter = 1;  // now the table's record cannot be made
    m_device = fakes::CreateDevice10(*m_adapter, kIface);
    EXPECT_EQ(m_device->hr, E_OUTOFMEMORY);
    EXPECT_EQ(SharedEntry(), fakes::RuntimeDxgiPresentCb());
    EXPECT_EQ(m_device->args.pKTCallbacks, &m_device->callbacks);
    EXPECT_EQ(CallsOfKind(kCallCreateDevice10).size(), 2u) << "only the two earlier devices reached the driver";
    EXPECT_EQ(brisel::DeviceList().Count(), 0u);
    Seams().recordFailAfter = -1;
}

TEST_F(DxgiCallbackTableTest, FailedRealCreationGivesTheTableBack)
{
    fakes::SetRuntimeDxgiTableMode(fakes::DxgiTableMode::Shared);
    Open(kIface);
    FakeUmd_Config()->createDeviceResult = static_cast<HRESULT>(0x887A0004);
    auto failed = fakes::CreateDevice10(*m_adapter, kIface);
    EXPECT_EQ(failed->hr, static_cast<HRESULT>(0x887A0004));
    EXPECT_EQ(SharedEntry(), &brisel::DxgiPresentCbWrapper) << "the first device still uses the table";
    EXPECT_EQ(PresentWithoutSurface(*m_device), S_OK);
    EXPECT_EQ(PresentsReaching(*m_device), 1u);
    DestroyDevice();
    EXPECT_EQ(SharedEntry(), fakes::RuntimeDxgiPresentCb());
}

}  // namespace
}  // namespace umdtest
