// Adapters opened and closed from four threads at once, a thousand times
// each, through every wrapped entry point, with a device created and
// destroyed on some of them: afterwards no adapter or device record is
// listed, every load of a fake driver has its free, and no fake driver is
// still loaded.
#include <atomic>
#include <thread>
#include <vector>

#include "DeviceRecord.h"
#include "SystemSeams.h"
#include "UmdTestSupport.h"

using namespace umdtest;

namespace {

class ConcurrencyTest : public UmdTest {
protected:
    void SetUp() override
    {
        UmdTest::SetUp();
        // Counting only: the logs would grow by the hundred thousand.
        Kmd().SetRecording(false);
        fakes::SetRuntimeRecording(false);
        FakeUmd_Config()->recordCalls = FALSE;
        FakeUmd_Config()->allocationsAtCreateDevice = 1;
        Seams().hostPath.clear();  // the seam's strings are not shared across threads
        brisel::TestOverrides().pfnLoadLibrary = nullptr;
        brisel::TestOverrides().pfnHeapMayAllocate = nullptr;
        brisel::TestOverrides().pfnRecordMayAllocate = nullptr;
    }
};

constexpr int kThreads = 4;
constexpr int kIterations = 1000;

TEST_F(ConcurrencyTest, OpenAndCloseFromFourThreadsLeaksNoRecordOrModule)
{
    const LONG loadsA = FakeUmd_Loads(kFakeUmdA), freesA = FakeUmd_Frees(kFakeUmdA);
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};

    auto worker = [&](int id) {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kIterations; ++i) {
            switch ((i + id) % 3) {
            case 0: {
                auto a = fakes::OpenAdapter9(m_entries);
                if (FAILED(a->hr)) {
                    ++failures;
                    break;
                }
                if (i % 4 == 0) {
                    auto d = fakes::CreateDevice9(*a);
                    if (FAILED(d->hr) || FAILED(d->Destroy())) ++failures;
                }
                if (FAILED(a->Close())) ++failures;
                break;
            }
            case 1: {
                auto a = fakes::OpenAdapter10(m_entries);
                if (FAILED(a->hr)) {
                    ++failures;
                    break;
                }
                if (i % 4 == 0) {
                    auto d = fakes::CreateDevice10(*a, 0xA0000);
                    if (FAILED(d->hr)) ++failures;
                    else d->Destroy();
                }
                if (FAILED(a->Close())) ++failures;
                break;
            }
            default: {
                auto a = fakes::OpenAdapter10_2(m_entries, 0xB000B);
                if (FAILED(a->hr)) {
                    ++failures;
                    break;
                }
                if (FAILED(a->Close())) ++failures;
                break;
            }
            }
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    go = true;
    for (auto& t : threads) t.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(brisel::AdapterList().Count(), 0u);
    EXPECT_EQ(brisel::DeviceList().Count(), 0u);
    EXPECT_EQ(FakeUmd_OpenAdapters(), 0) << "every adapter the driver opened was closed in it";
    EXPECT_EQ(FakeUmd_Loads(kFakeUmdA) - loadsA, FakeUmd_Frees(kFakeUmdA) - freesA);
    EXPECT_GT(FakeUmd_Loads(kFakeUmdA) - loadsA, 0);
    EXPECT_EQ(GetModuleHandleW(kDriverA), nullptr) << "no reference to the driver is left";
    EXPECT_EQ(Kmd().QueryCount(), static_cast<unsigned>(kThreads * kIterations));
}

}  // namespace
