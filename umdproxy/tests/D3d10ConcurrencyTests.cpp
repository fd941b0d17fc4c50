// D3D10/11 concurrency: a driver thread presents (each present comes back
// through the present callback and copies into a shadow) while the
// application thread creates and destroys tracked resources, the presented
// ones included; nothing may crash, and nothing may stay behind. A runtime
// that shares one DXGI callback table replaces the table's last device.
#include <atomic>
#include <thread>

#include "D3d10TestSupport.h"
#include "D3d10Resource.h"
#include "DxgiCallbackTables.h"
#include "KmdFormats.h"

namespace umdtest {
namespace {

class D3d10ConcurrencyTest : public D3d10Test {};

TEST_F(D3d10ConcurrencyTest, PresentsWhileResourcesComeAndGo)
{
    constexpr int kPresents = 5000;
    constexpr int kCreateDestroyPairs = 2500;  // 10,000 operations in all
    Open(0xB001F);
    AnswerAllocationInfo(64, 16, 87);
    AnswerActiveSources(0x1);
    void* primary = CreatePrimary(0, 64, 16);
    ShadowRegistration r = LastRegistration();
    ASSERT_NE(r.address, nullptr);
    FakeUmd_Config()->recordCalls = FALSE;
    Kmd().SetRecording(false);
    fakes::SetRuntimeRecording(false);

    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::thread driver([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kPresents; ++i) {
            DXGI_DDI_ARG_PRESENT p{};
            p.hDevice = m_device->args.hDrvDevice;
            p.hSurfaceToPresent = D3D10DDI_HRESOURCE{primary};
            p.pDXGIContext = kRuntimeContext;
            p.Flags = (i % 3 == 0) ? kDxgiPresentBlt : kDxgiPresentFlip;
            if (DdiTableGet<PFNDXGIDDI_PRESENT>(m_device->dxgiFuncs, kDxgiPresent)(&p) != S_OK) ++failures;
            if (p.pDXGIContext != kRuntimeContext) ++failures;
        }
    });
    go = true;
    for (int i = 0; i < kCreateDestroyPairs; ++i) {
        // The runtime's storage of each resource lives in m_storage; reuse one slot.
        void* texture = CreateTexture(32, 8, kD3d10BindPresentable);
        DestroyResource(texture);
        m_storage.pop_back();
        m_runtimeHandles.pop_back();
    }
    driver.join();
    EXPECT_EQ(failures.load(), 0);

    brisel::D3d10DeviceRecord* record = Record();
    EXPECT_EQ(brisel::PresentContextsOut(), 0u);
    EXPECT_EQ(record->PendingCount(), 0u);
    EXPECT_EQ(record->FindTrackedSurface(primary), record->trackedHead);
    EXPECT_EQ(record->trackedHead->pNext, nullptr) << "only the primary is still tracked";
    EXPECT_TRUE(ShadowHoldsFrame(r, 0));

    // Every shadow went back to the driver: its resource table still has room.
    Kmd().SetRecording(true);
    const size_t registered = EscapesOf(brisel::kEscRegisterShadowBuffer).size();
    void* last = CreateTexture(32, 8, kD3d10BindPresentable);
    EXPECT_EQ(EscapesOf(brisel::kEscRegisterShadowBuffer).size(), registered + 1);
    EXPECT_NE(record->FindTrackedSurface(last)->shadowResource, nullptr);
    DestroyResource(last);
    DestroyResource(primary);
}

// The driver's thread presents the very resources the application thread is
// destroying: a copy in flight keeps its surface and shadow until it is done.
TEST_F(D3d10ConcurrencyTest, PresentsOfResourcesBeingDestroyed)
{
    constexpr int kCreateDestroyPairs = 2000;
    Open(0xB0022);
    AnswerAllocationInfo(32, 8, 87);
    AnswerActiveSources(0x1);
    FakeUmd_Config()->recordCalls = FALSE;
    Kmd().SetRecording(false);
    fakes::SetRuntimeRecording(false);

    std::atomic<void*> current{nullptr};
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread driver([&] {
        while (!done.load()) {
            void* surface = current.load();
            if (!surface) continue;
            DXGI_DDI_ARG_PRESENT p{};
            p.hDevice = m_device->args.hDrvDevice;
            p.hSurfaceToPresent = D3D10DDI_HRESOURCE{surface};
            p.pDXGIContext = kRuntimeContext;
            p.Flags = kDxgiPresentBlt;
            if (DdiTableGet<PFNDXGIDDI_PRESENT>(m_device->dxgiFuncs, kDxgiPresent)(&p) != S_OK) ++failures;
        }
    });
    for (int i = 0; i < kCreateDestroyPairs; ++i) {
        void* texture = CreateTexture(32, 8, kD3d10BindPresentable);
        current = texture;
        for (int spin = 0; spin < 50; ++spin) std::this_thread::yield();
        DestroyResource(texture);
        current = nullptr;
        m_storage.pop_back();
        m_runtimeHandles.pop_back();
    }
    done = true;
    driver.join();
    EXPECT_EQ(failures.load(), 0);

    brisel::D3d10DeviceRecord* record = Record();
    EXPECT_EQ(record->trackedHead, nullptr);
    EXPECT_EQ(record->RetiredSurfacesPinned(), 0u);
    EXPECT_EQ(brisel::PresentContextsOut(), 0u);
    // A surface whose last copy ended after the last call is released at the next.
    brisel::FinishRetiredSurfaces(*record);
    // Every shadow went back to the driver: its resource table still has room.
    Kmd().SetRecording(true);
    void* last = CreateTexture(32, 8, kD3d10BindPresentable);
    EXPECT_NE(record->FindTrackedSurface(last)->shadowResource, nullptr);
    DestroyResource(last);
    EXPECT_EQ(EscapesOf(brisel::kEscReleaseShadowBuffer).size(), 1u);
}

// The table's last device is destroyed on one thread while the next is
// created with the same table on another: whichever comes first, the new
// device's presents reach the runtime.
TEST_F(D3d10ConcurrencyTest, SharedTableKeepsForwardingWhileItsLastDeviceIsReplaced)
{
    constexpr int kRounds = 300;
    constexpr UINT kIface = 0xB0022;
    fakes::SetRuntimeDxgiTableMode(fakes::DxgiTableMode::Shared);
    Open(kIface);
    FakeUmd_Config()->recordCalls = FALSE;
    Kmd().SetRecording(false);
    int lost = 0;
    for (int i = 0; i < kRounds; ++i) {
        std::unique_ptr<fakes::Device10> next;
        std::atomic<bool> go{false};
        std::thread creator([&] {
            while (!go.load()) std::this_thread::yield();
            next = fakes::CreateDevice10(*m_adapter, kIface);
        });
        go = true;
        DestroyDevice();
        creator.join();
        ASSERT_EQ(next->hr, S_OK);
        m_device = std::move(next);
        const size_t before = fakes::RuntimeLogSnapshot().presents.size();
        ASSERT_EQ(PresentWithoutSurface(*m_device), S_OK);
        if (fakes::RuntimeLogSnapshot().presents.size() != before + 1) ++lost;
    }
    EXPECT_EQ(lost, 0);
    DestroyDevice();
    EXPECT_EQ(DdiTableGet<PFNDDXGIDDI_PRESENTCB>(*fakes::SharedDxgiCallbacks(), kDxgiCbPresent),
              fakes::RuntimeDxgiPresentCb());
    EXPECT_EQ(brisel::DxgiCallbackTablesHeld(), 0u);
}

}  // namespace
}  // namespace umdtest
