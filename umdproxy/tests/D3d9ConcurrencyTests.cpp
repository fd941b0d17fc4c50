// Four threads, each with its own D3D9 device on one adapter, create,
// present (Flip and Blt) and destroy tracked primaries and video render
// targets, ten thousand operations each: afterwards every registration has its release, every creation its
// destruction (the fake driver counts live resources), every shadow buffer
// is freed and no record is left.
#include <atomic>
#include <map>
#include <thread>

#include "D3d9TestSupport.h"
#include "KmdFormats.h"
#include "SystemSeams.h"

using namespace umdtest;
namespace esc = brisel::esc;

namespace {

class D3d9ConcurrencyTest : public D3d9Test {
protected:
    void SetUp() override
    {
        D3d9Test::SetUp();
        // The kernel-mode driver keeps its log (registrations and releases
        // are compared); the others only count.
        fakes::SetRuntimeRecording(false);
        FakeUmd_Config()->recordCalls = FALSE;
        Seams().hostPath.clear();
        brisel::TestOverrides().pfnLoadLibrary = nullptr;
        brisel::TestOverrides().pfnHeapMayAllocate = nullptr;
        brisel::TestOverrides().pfnRecordMayAllocate = nullptr;
        brisel::TestOverrides().pfnVirtualMayAllocate = nullptr;
    }
};

constexpr int kThreads = 4;
constexpr int kOperations = 10000;  // per thread: create, flip, blt, destroy in turn

TEST_F(D3d9ConcurrencyTest, FourDevicesCaptureConcurrentlyWithoutLeaks)
{
    std::vector<fakes::Device9*> devices;
    for (int t = 0; t < kThreads; ++t) devices.push_back(&NewDevice());
    AnswerActiveSources(0xF);
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};

    auto worker = [&](int id) {
        fakes::Device9& device = *devices[id];
        auto create = device.Func<PFND3DDDI_CREATERESOURCE>(kD3d9CreateResource);
        auto destroy = device.Func<PFND3DDDI_DESTROYRESOURCE>(kD3d9DestroyResource);
        auto present = device.Func<PFND3DDDI_PRESENT>(kD3d9Present);
        while (!go.load()) std::this_thread::yield();
        HANDLE resource = nullptr;
        D3DDDI_SURFACEINFO surface{128 + static_cast<UINT>(id), 128, 0, nullptr, 0, 0};
        for (int i = 0; i < kOperations; ++i) {
            switch (i % 4) {
            case 0: {
                D3DDDIARG_CREATERESOURCE args{};
                args.Format = 21;
                args.pSurfList = &surface;
                args.SurfCount = 1;
                args.VidPnSourceId = static_cast<UINT>(id);
                args.hResource = fakes::NewRuntimeHandle();
                // Two threads make video render targets: the adapter's
                // multimedia switch is raced for.
                args.Flags = kD3d9ResRenderTarget | ((id % 2) ? kD3d9ResVideo : kD3d9ResPrimary);
                if (FAILED(create(device.args.hDevice, &args))) ++failures;
                resource = args.hResource;
                break;
            }
            case 1:
            case 2: {
                D3DDDIARG_PRESENT args{};
                args.hSrcResource = resource;
                args.Flags = (i % 4 == 1) ? kD3d9PresentFlip : kD3d9PresentBlt;
                if (FAILED(present(device.args.hDevice, &args))) ++failures;
                break;
            }
            default:
                if (FAILED(destroy(device.args.hDevice, resource))) ++failures;
                break;
            }
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    go = true;
    for (auto& t : threads) t.join();

    const LONG cycles = kThreads * kOperations / 4;
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(FakeD3d9_LiveResources(), 0) << "every resource and shadow was destroyed";
    EXPECT_EQ(FakeD3d9_CountOf(kD3d9CallCreateResource), 2 * cycles);
    EXPECT_EQ(FakeD3d9_CountOf(kD3d9CallDestroyResource), 2 * cycles);
    EXPECT_EQ(FakeD3d9_CountOf(kD3d9CallBlt), 2 * cycles) << "both presents of every cycle copied";
    EXPECT_EQ(FakeD3d9_CountOf(kD3d9CallPresent), 2 * cycles);
    EXPECT_EQ(MmcssCalls(), 1) << "once for the adapter, whichever thread came first";

    // Every registration is released, on its own device, and its buffer freed.
    std::map<std::pair<HANDLE, uint32_t>, uint64_t> registered;
    size_t registrations = 0, releases = 0;
    for (const auto& e : Kmd().Escapes()) {
        if (e.Command() == brisel::kEscRegisterShadowBuffer) {
            ++registrations;
            registered[{e.hDevice, e.U32(esc::kAllocation)}] = e.U64(esc::kBufferAddress);
        } else if (e.Command() == brisel::kEscReleaseShadowBuffer) {
            ++releases;
            EXPECT_EQ(registered.erase({e.hDevice, e.U32(esc::kAllocation)}), 1u) << "release of an unknown buffer";
        }
    }
    EXPECT_EQ(registrations, static_cast<size_t>(cycles));
    EXPECT_EQ(releases, static_cast<size_t>(cycles));
    EXPECT_TRUE(registered.empty());
    for (fakes::Device9* device : devices) {
        brisel::D3d9DeviceRecord* record = RecordOf(*device);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->trackedHead, nullptr);
        EXPECT_EQ(record->PendingCount(), 0u);
    }
}

}  // namespace
