// Brisel.dll as the runtime sees it: loaded with LoadLibraryW, its four entry
// points found by their undecorated names and nothing else exported, no
// runtime DLL imported, an adapter and device round trip through the
// exports leaving no module loaded, and loading and freeing it over and over
// costing the host process nothing.
#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "UmdTestSupport.h"

using namespace umdtest;

namespace {

class BriselDll : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakes::FakeKmd::Instance().Reset();
        fakes::FakeKmd::Instance().SetAdapter(DefaultAdapter());
        FakeUmd_Reset();
        m_module = LoadLibraryW(L"Brisel.dll");
        ASSERT_NE(m_module, nullptr) << GetLastError();
    }
    void TearDown() override
    {
        if (m_module) FreeLibrary(m_module);
    }

    const IMAGE_NT_HEADERS* Headers() const
    {
        auto* base = reinterpret_cast<const BYTE*>(m_module);
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    }

    std::set<std::string> ExportNames() const
    {
        auto* base = reinterpret_cast<const BYTE*>(m_module);
        const auto& dir = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        std::set<std::string> names;
        if (!dir.VirtualAddress) return names;
        auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
        auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.insert(reinterpret_cast<const char*>(base + nameRvas[i]));
        return names;
    }

    std::set<std::string> ImportedDlls() const
    {
        auto* base = reinterpret_cast<const BYTE*>(m_module);
        const auto& dir = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        std::set<std::string> names;
        if (!dir.VirtualAddress) return names;
        for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
            std::string name = reinterpret_cast<const char*>(base + d->Name);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            names.insert(name);
        }
        return names;
    }

    HMODULE m_module = nullptr;
};

TEST_F(BriselDll, ExportsExactlyTheFourUndecoratedEntryPoints)
{
    const std::set<std::string> expected{"OpenAdapter", "OpenAdapter10", "OpenAdapter10_2", "OpenAdapter12"};
    EXPECT_EQ(ExportNames(), expected);
    fakes::DriverEntries entries = fakes::EntriesFromModule(m_module);
    EXPECT_NE(entries.openAdapter, nullptr);
    EXPECT_NE(entries.openAdapter10, nullptr);
    EXPECT_NE(entries.openAdapter10_2, nullptr);
    EXPECT_NE(entries.openAdapter12, nullptr);
    EXPECT_EQ(GetProcAddress(m_module, "OpenAdapter@4"), nullptr);
    EXPECT_EQ(GetProcAddress(m_module, "_OpenAdapter@4"), nullptr);
}

TEST_F(BriselDll, ImportsOnlySystemLibraries)
{
    const std::set<std::string> allowed{"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "dwmapi.dll"};
    for (const std::string& dll : ImportedDlls()) {
        EXPECT_TRUE(allowed.count(dll) || dll.rfind("api-ms-win-", 0) == 0) << "imports " << dll;
    }
}

TEST_F(BriselDll, AdapterAndDeviceRoundTripThroughTheExports)
{
    fakes::DriverEntries entries = fakes::EntriesFromModule(m_module);
    LONG loads = FakeUmd_Loads(kFakeUmdA), frees = FakeUmd_Frees(kFakeUmdA);

    auto d3d9 = fakes::OpenAdapter9(entries, 9, 0x7000);
    ASSERT_EQ(d3d9->hr, S_OK);
    EXPECT_EQ(CallsOfKind(kCallOpenAdapter).at(0).version, 0x6003u);
    auto device = fakes::CreateDevice9(*d3d9);
    ASSERT_EQ(device->hr, S_OK);
    EXPECT_EQ(device->Destroy(), S_OK);
    EXPECT_EQ(d3d9->Close(), S_OK);

    auto d3d11 = fakes::OpenAdapter10_2(entries, 0xB000B);
    ASSERT_EQ(d3d11->hr, S_OK);
    auto device11 = fakes::CreateDevice10(*d3d11, 0xB000B);
    ASSERT_EQ(device11->hr, S_OK);
    device11->Destroy();
    EXPECT_EQ(d3d11->Close(), S_OK);

    EXPECT_EQ(FakeUmd_Loads(kFakeUmdA) - loads, FakeUmd_Frees(kFakeUmdA) - frees);
    EXPECT_EQ(GetModuleHandleW(kDriverA), nullptr);
    EXPECT_EQ(FakeUmd_OpenAdapters(), 0);
}

// The runtime loads the driver per adapter open and frees it per close. Each
// load must give back whatever process-wide slot it takes: thread-local slots
// run out after about a thousand, and the host process then aborts. The fake
// vendor driver stands for a real one, which survives this too.
TEST(DllReload, LoadingAndFreeingKeepsNoThreadLocalSlot)
{
    for (const wchar_t* dll : {L"Brisel.dll", kDriverA}) {
        ASSERT_EQ(GetModuleHandleW(dll), nullptr) << "the library must really be unloaded each time";
        const DWORD before = TlsAlloc();
        ASSERT_NE(before, TLS_OUT_OF_INDEXES);
        TlsFree(before);
        for (int i = 0; i < 64; ++i) {
            HMODULE module = LoadLibraryW(dll);
            ASSERT_NE(module, nullptr) << GetLastError();
            FreeLibrary(module);
        }
        const DWORD after = TlsAlloc();
        TlsFree(after);
        EXPECT_EQ(after, before) << "64 loads of one DLL took " << (after - before) << " slots";
    }
}

}  // namespace
