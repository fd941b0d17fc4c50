// The four entry points against the fake runtime, kernel-mode driver and
// vendor drivers: what reaches the real driver, what the runtime gets back,
// every failure's HRESULT, and that no failure leaves a record or a loaded
// module behind.
#include <cstring>

#include "AdapterRecord.h"
#include "D3d10Device.h"
#include "D3d9Device.h"
#include "UmdTestSupport.h"

using namespace umdtest;
using brisel::AdapterList;
using brisel::FindAdapter;

namespace {

constexpr HRESULT kDriverError = static_cast<HRESULT>(0x887A0004);  // any code of the driver's own

bool ModuleLoaded(const wchar_t* name) { return GetModuleHandleW(name) != nullptr; }

class OpenAdapterTest : public UmdTest {};

// ---------------------------------------------------------------------------
// D3D9

TEST_F(OpenAdapterTest, D3d9RealDriverSeesCappedVersionAndRuntimeKeepsItsArguments)
{
    auto adapter = fakes::OpenAdapter9(m_entries, 9, 0x7001);
    ASSERT_EQ(adapter->hr, S_OK);

    auto opens = CallsOfKind(kCallOpenAdapter);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].variant, kFakeUmdA);
    EXPECT_EQ(opens[0].version, 0x6003u) << "Version above 0x6003 must reach the driver capped";
    EXPECT_EQ(opens[0].interfaceVersion, 9u);
    EXPECT_EQ(opens[0].handleIn, adapter->runtimeHandle);
    EXPECT_EQ(opens[0].callbacks, fakes::AdapterCallbacks());
    EXPECT_NE(opens[0].funcs, &adapter->funcs) << "the real driver fills Brisel's copy, not the runtime's table";

    // The runtime's own arguments: only hAdapter, DriverVersion and the table change.
    EXPECT_EQ(adapter->args.Version, 0x7001u);
    EXPECT_EQ(adapter->args.Interface, 9u);
    EXPECT_EQ(adapter->args.hAdapter, opens[0].handleOut);
    EXPECT_EQ(adapter->args.DriverVersion, 0x5A5Au);
    EXPECT_EQ(adapter->args.pAdapterCallbacks, fakes::AdapterCallbacks());

    // Real pfnGetCaps, Brisel's two wrappers.
    auto* realFuncs = static_cast<D3DDDI_ADAPTERFUNCS*>(opens[0].funcs);
    EXPECT_EQ(adapter->funcs.pfnGetCaps, realFuncs->pfnGetCaps);
    EXPECT_EQ(adapter->funcs.pfnCreateDevice, &brisel::D3d9CreateDeviceWrapper);
    EXPECT_EQ(adapter->funcs.pfnCloseAdapter, &brisel::D3d9CloseAdapterWrapper);
    EXPECT_NE(adapter->funcs.pfnCreateDevice, realFuncs->pfnCreateDevice);

    // The query: runtime handle, 4472 bytes, both magics, size and request set, the rest zero.
    auto queries = Kmd().Queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].hAdapter, adapter->runtimeHandle);
    EXPECT_EQ(queries[0].size, 4472u);
    brisel::AdapterPrivateData expected{};
    expected.magic = 0x63736378;
    expected.size = 4472;
    expected.request = 1;
    expected.tailMagic = 0x78637363;
    EXPECT_EQ(std::memcmp(&queries[0].sent, &expected, sizeof expected), 0);

    // The real driver's own query reaches the kernel-mode driver untouched.
    EXPECT_EQ(Kmd().DriverQueries(), std::vector<HANDLE>{adapter->runtimeHandle});

    brisel::AdapterRecord* record = FindAdapter(adapter->args.hAdapter);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->runtimeAdapter, adapter->runtimeHandle);
    EXPECT_EQ(record->privateData.vendorId, 0x1002u);

    EXPECT_EQ(adapter->Close(), S_OK);
    EXPECT_FALSE(ModuleLoaded(kDriverA));
}

TEST_F(OpenAdapterTest, D3d9VersionAtOrBelowCapPassesUnchanged)
{
    auto adapter = fakes::OpenAdapter9(m_entries, 9, 0x4002);
    ASSERT_EQ(adapter->hr, S_OK);
    EXPECT_EQ(CallsOfKind(kCallOpenAdapter).at(0).version, 0x4002u);
    adapter->Close();
}

TEST_F(OpenAdapterTest, D3d9FailuresReturnOutOfMemoryAndLeaveNothingBehind)
{
    struct Case {
        const char* what;
        void (*arrange)(fakes::KmdAdapterConfig&);
    };
    const Case cases[] = {
        {"query fails", [](fakes::KmdAdapterConfig& c) { c.queryResult = E_ACCESSDENIED; }},
        {"empty name list", [](fakes::KmdAdapterConfig& c) { c.umdNames.clear(); }},
        {"file missing", [](fakes::KmdAdapterConfig& c) { c.umdNames = {L"no_such_driver.dll"}; }},
        {"no OpenAdapter entry", [](fakes::KmdAdapterConfig& c) { c.umdNames = {kDriverNone}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakes::KmdAdapterConfig config = DefaultAdapter();
        c.arrange(config);
        Kmd().SetAdapter(config);
        LONG freesBefore = FakeUmd_Frees(kFakeUmdNone);
        LONG loadsBefore = FakeUmd_Loads(kFakeUmdNone);
        auto adapter = fakes::OpenAdapter9(m_entries);
        EXPECT_EQ(adapter->hr, E_OUTOFMEMORY);
        EXPECT_EQ(AdapterList().Count(), 0u);
        EXPECT_EQ(FakeUmd_Loads(kFakeUmdNone) - loadsBefore, FakeUmd_Frees(kFakeUmdNone) - freesBefore)
            << "a module without the entry must be released";
        EXPECT_FALSE(ModuleLoaded(kDriverNone));
    }
}

TEST_F(OpenAdapterTest, D3d9LoadLibraryFailureReturnsOutOfMemory)
{
    Seams().failLoadLibrary = true;
    auto adapter = fakes::OpenAdapter9(m_entries);
    EXPECT_EQ(adapter->hr, E_OUTOFMEMORY);
    EXPECT_EQ(Seams().loadedNames.size(), 1u);
}

TEST_F(OpenAdapterTest, D3d9RecordAllocationFailureReturnsOutOfMemoryBeforeAnyQuery)
{
    Seams().heapFailures = 1;
    auto adapter = fakes::OpenAdapter9(m_entries);
    EXPECT_EQ(adapter->hr, E_OUTOFMEMORY);
    EXPECT_EQ(Kmd().QueryCount(), 0u);
}

TEST_F(OpenAdapterTest, D3d9RealEntryFailureIsReturnedAndModuleReleased)
{
    FakeUmd_Config()->openResult = kDriverError;
    LONG loads = FakeUmd_Loads(kFakeUmdA), frees = FakeUmd_Frees(kFakeUmdA);
    auto adapter = fakes::OpenAdapter9(m_entries);
    EXPECT_EQ(adapter->hr, kDriverError);
    EXPECT_EQ(FakeUmd_Loads(kFakeUmdA) - loads, 1);
    EXPECT_EQ(FakeUmd_Frees(kFakeUmdA) - frees, 1);
    EXPECT_EQ(adapter->args.hAdapter, adapter->runtimeHandle) << "the runtime's handle is untouched on failure";
}

TEST_F(OpenAdapterTest, KmplayerRefusesInterfacesBelowNineWhateverTheCase)
{
    Seams().hostPath = "C:\\Program Files\\KMPlayer\\KMPlayer.EXE";
    auto old = fakes::OpenAdapter9(m_entries, 8);
    EXPECT_EQ(old->hr, E_OUTOFMEMORY);
    EXPECT_EQ(Kmd().QueryCount(), 0u);
    auto current = fakes::OpenAdapter9(m_entries, 9);
    ASSERT_EQ(current->hr, S_OK);
    current->Close();

    Seams().hostPath = "C:\\Program Files\\Other\\player.exe";
    auto elsewhere = fakes::OpenAdapter9(m_entries, 8);
    ASSERT_EQ(elsewhere->hr, S_OK);
    elsewhere->Close();
}

TEST_F(OpenAdapterTest, DwmHostIsRecognisedInCapitals)
{
    const struct {
        const char* path;
        BYTE isDwm;
    } cases[] = {
        {"C:\\WINDOWS\\SYSTEM32\\DWM.EXE", 1},
        {"c:\\windows\\system32\\dwm.exe", 1},
        {"C:\\Windows\\System32\\explorer.exe", 0},
        {"", 0},  // GetModuleFileNameA failed: no rule applies
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Seams().hostPath = c.path;
        auto d3d9 = fakes::OpenAdapter9(m_entries);
        auto d3d10 = fakes::OpenAdapter10(m_entries);
        auto d3d11 = fakes::OpenAdapter10_2(m_entries, 0xB000B);
        ASSERT_EQ(d3d9->hr, S_OK);
        ASSERT_EQ(d3d10->hr, S_OK);
        ASSERT_EQ(d3d11->hr, S_OK);
        EXPECT_EQ(FindAdapter(d3d9->args.hAdapter)->isDwm, c.isDwm);
        EXPECT_EQ(FindAdapter(d3d10->args.hAdapter.pDrvPrivate)->isDwm, c.isDwm);
        EXPECT_EQ(FindAdapter(d3d11->args.hAdapter.pDrvPrivate)->isDwm, c.isDwm);
        d3d9->Close();
        d3d10->Close();
        d3d11->Close();
    }
}

TEST_F(OpenAdapterTest, FallbackModeLoadsFallbackDriverExceptOnWindows7)
{
    const struct {
        uint32_t major, minor;
        uint8_t fallback;
        int variant;
    } cases[] = {
        {10, 0, 1, kFakeUmdFallback},
        {6, 2, 1, kFakeUmdFallback},
        {6, 1, 1, kFakeUmdA},
        {10, 0, 0, kFakeUmdA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " fallback " << int(c.fallback));
        fakes::KmdAdapterConfig config = DefaultAdapter();
        config.osMajor = c.major;
        config.osMinor = c.minor;
        config.fallbackMode = c.fallback;
        Kmd().SetAdapter(config);
        FakeUmd_Reset();
        auto adapter = fakes::OpenAdapter9(m_entries);
        ASSERT_EQ(adapter->hr, S_OK);
        EXPECT_EQ(LastOpenVariant(), c.variant);
        adapter->Close();
    }
}

TEST_F(OpenAdapterTest, FallbackModeDoesNotAffectLaterApis)
{
    fakes::KmdAdapterConfig config = DefaultAdapter();
    config.fallbackMode = 1;
    // fakeumd_b.dll serves D3D12: a D3D12 driver stays loaded for good, and
    // the other tests watch fakeumd_a.dll being released.
    config.umdNames = {kDriverA, kDriverA, kDriverA, kDriverB};
    Kmd().SetAdapter(config);
    auto d3d10 = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(d3d10->hr, S_OK);
    EXPECT_EQ(LastOpenVariant(), kFakeUmdA);
    auto d3d11 = fakes::OpenAdapter10_2(m_entries, 0xB000B);
    ASSERT_EQ(d3d11->hr, S_OK);
    EXPECT_EQ(LastOpenVariant(), kFakeUmdA);
    auto d3d12 = fakes::OpenAdapter12(m_entries);
    ASSERT_EQ(d3d12->hr, S_OK);
    EXPECT_EQ(LastOpenVariant(), kFakeUmdB);
    d3d10->Close();
    d3d11->Close();
}

TEST_F(OpenAdapterTest, Wow64ProcessLoadsFromTheWowList)
{
    for (bool wow64 : {false, true}) {
        SCOPED_TRACE(wow64 ? "WOW64" : "native");
        Seams().wow64 = wow64;
        FakeUmd_Reset();
        const int expected = wow64 ? kFakeUmdB : kFakeUmdA;
        auto d3d9 = fakes::OpenAdapter9(m_entries);
        ASSERT_EQ(d3d9->hr, S_OK);
        EXPECT_EQ(LastOpenVariant(), expected);
        auto d3d10 = fakes::OpenAdapter10(m_entries);
        ASSERT_EQ(d3d10->hr, S_OK);
        EXPECT_EQ(LastOpenVariant(), expected);
        auto d3d11 = fakes::OpenAdapter10_2(m_entries, 0xB000B);
        ASSERT_EQ(d3d11->hr, S_OK);
        EXPECT_EQ(LastOpenVariant(), expected);
        d3d9->Close();
        d3d10->Close();
        d3d11->Close();
    }
}

// ---------------------------------------------------------------------------
// D3D10 and D3D10_2

TEST_F(OpenAdapterTest, OpenAdapter10LoadsEntryOneAndInstallsWrappers)
{
    fakes::KmdAdapterConfig config = DefaultAdapter();
    config.umdNames = {kDriverA, kDriverB, kDriverA, kDriverA};
    Kmd().SetAdapter(config);
    auto adapter = fakes::OpenAdapter10(m_entries, 0xA0000, 0x4001);
    ASSERT_EQ(adapter->hr, S_OK);
    auto opens = CallsOfKind(kCallOpenAdapter10);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].variant, kFakeUmdB);
    EXPECT_EQ(opens[0].handleIn, adapter->runtimeHandle);
    EXPECT_EQ(opens[0].version, 0x4001u);
    EXPECT_EQ(opens[0].callbacks, fakes::AdapterCallbacks());
    EXPECT_EQ(Kmd().DriverQueries(), std::vector<HANDLE>{adapter->runtimeHandle});
    EXPECT_EQ(adapter->args.hAdapter.pDrvPrivate, opens[0].handleOut);

    auto* real = static_cast<D3D10_2DDI_ADAPTERFUNCS*>(opens[0].funcs);
    EXPECT_EQ(adapter->funcs.pfnCalcPrivateDeviceSize, real->pfnCalcPrivateDeviceSize);
    EXPECT_EQ(adapter->funcs.pfnCreateDevice, &brisel::D3d10CreateDeviceWrapper);
    EXPECT_EQ(adapter->funcs.pfnCloseAdapter, &brisel::D3d10CloseAdapterWrapper);
    EXPECT_EQ(adapter->funcs.pfnGetSupportedVersions, nullptr) << "OpenAdapter10 fills only three entries";
    EXPECT_EQ(adapter->Close(), S_OK);
    EXPECT_EQ(CallsOfKind(kCallCloseAdapter10).at(0).handleIn, opens[0].handleOut);
}

TEST_F(OpenAdapterTest, OpenAdapter10Failures)
{
    {
        fakes::KmdAdapterConfig config = DefaultAdapter();
        config.queryResult = E_FAIL;
        Kmd().SetAdapter(config);
        EXPECT_EQ(fakes::OpenAdapter10(m_entries)->hr, E_OUTOFMEMORY);
    }
    {
        fakes::KmdAdapterConfig config = DefaultAdapter();
        config.umdNames = {kDriverA, kDriverNone};
        Kmd().SetAdapter(config);
        EXPECT_EQ(fakes::OpenAdapter10(m_entries)->hr, E_OUTOFMEMORY);
        EXPECT_FALSE(ModuleLoaded(kDriverNone));
    }
    {
        Kmd().SetAdapter(DefaultAdapter());
        FakeUmd_Config()->openResult = kDriverError;
        EXPECT_EQ(fakes::OpenAdapter10(m_entries)->hr, kDriverError);
        EXPECT_EQ(fakes::OpenAdapter10_2(m_entries, 0xB000B)->hr, kDriverError);
        EXPECT_FALSE(ModuleLoaded(kDriverA));
    }
}

TEST_F(OpenAdapterTest, IexploreOnWindows7RefusesTheNvidiaD3d10Driver)
{
    const struct {
        const char* host;
        uint32_t major, minor;
        bool refused;
    } cases[] = {
        {"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", 6, 1, true},
        {"C:\\Program Files\\Internet Explorer\\iexplore.exe", 10, 0, false},
        {"C:\\Program Files\\App\\app.exe", 6, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        Seams().hostPath = c.host;
        Seams().loadedNames.clear();
        fakes::KmdAdapterConfig config = DefaultAdapter();
        config.umdNames = {L"nvd3dum.dll", L"nvwgf2um.dll", L"nvwgf2um.dll", L"nvwgf2um.dll"};
        config.osMajor = c.major;
        config.osMinor = c.minor;
        Kmd().SetAdapter(config);
        // No such driver here: when the rule does not refuse, the load is tried (and fails).
        EXPECT_EQ(fakes::OpenAdapter10(m_entries)->hr, E_OUTOFMEMORY);
        EXPECT_EQ(Seams().loadedNames.empty(), c.refused);
    }
}

TEST_F(OpenAdapterTest, OpenAdapter10_2ForD3d11RetriesWithTheD3d10Driver)
{
    const struct {
        const wchar_t* entry2;
        const char* what;
    } cases[] = {
        {kDriverNo10_2, "entry-2 driver lacks OpenAdapter10_2"},
        {L"absent_d3d11_driver.dll", "entry-2 driver cannot be loaded"},
        {L"", "entry-2 name empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakes::KmdAdapterConfig config = DefaultAdapter();
        config.umdNames = {kDriverA, kDriverB, c.entry2, kDriverA};
        if (c.entry2[0] == L'\0') config.umdNames = {kDriverA, kDriverB};
        Kmd().SetAdapter(config);
        FakeUmd_Reset();
        auto adapter = fakes::OpenAdapter10_2(m_entries, 0xB000B);
        ASSERT_EQ(adapter->hr, S_OK);
        EXPECT_EQ(LastOpenVariant(), kFakeUmdB);
        EXPECT_FALSE(ModuleLoaded(kDriverNo10_2)) << "the driver without the entry is released";
        adapter->Close();
    }
}

TEST_F(OpenAdapterTest, OpenAdapter10_2RetryOnlyForD3d11AndFailsWhenD3d10DriverAlsoLacksEntry)
{
    fakes::KmdAdapterConfig config = DefaultAdapter();
    config.umdNames = {kDriverA, kDriverNo10_2, kDriverNo10_2, kDriverA};
    Kmd().SetAdapter(config);
    EXPECT_EQ(fakes::OpenAdapter10_2(m_entries, 0xB000B)->hr, E_OUTOFMEMORY);
    EXPECT_EQ(fakes::OpenAdapter10_2(m_entries, 0xA0009)->hr, E_OUTOFMEMORY);
    EXPECT_FALSE(ModuleLoaded(kDriverNo10_2));
}

TEST_F(OpenAdapterTest, OpenAdapter10_2WrapsOnlyTheListedInterfaces)
{
    const struct {
        UINT iface;
        bool wrapped;
    } cases[] = {
        {0xA0009, true},  {0xA000A, true}, {0xA0001, false}, {0xA000B, false},
        {0xB000A, false}, {0xB000B, true}, {0xB0022, true},  {0xC0000, true},
    };
    // fakeumd_b.dll: an adapter that is not wrapped keeps its driver loaded
    // for good, and the other tests watch fakeumd_a.dll being released.
    fakes::KmdAdapterConfig config = DefaultAdapter();
    config.umdNames = {kDriverB, kDriverB, kDriverB, kDriverB};
    Kmd().SetAdapter(config);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.iface);
        FakeUmd_Reset();
        auto adapter = fakes::OpenAdapter10_2(m_entries, c.iface);
        ASSERT_EQ(adapter->hr, S_OK);
        auto opens = CallsOfKind(kCallOpenAdapter10_2);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].interfaceVersion, c.iface);
        auto* real = static_cast<D3D10_2DDI_ADAPTERFUNCS*>(opens[0].funcs);
        EXPECT_EQ(adapter->funcs.pfnCalcPrivateDeviceSize, real->pfnCalcPrivateDeviceSize);
        EXPECT_EQ(adapter->funcs.pfnGetSupportedVersions, real->pfnGetSupportedVersions);
        EXPECT_EQ(adapter->funcs.pfnGetCaps, real->pfnGetCaps);
        EXPECT_NE(adapter->funcs.pfnGetCaps, nullptr);
        if (c.wrapped) {
            EXPECT_EQ(adapter->funcs.pfnCreateDevice, &brisel::D3d10CreateDeviceWrapper);
            EXPECT_EQ(adapter->funcs.pfnCloseAdapter, &brisel::D3d10CloseAdapterWrapper);
            EXPECT_EQ(AdapterList().Count(), 1u);
        } else {
            EXPECT_EQ(adapter->funcs.pfnCreateDevice, real->pfnCreateDevice);
            EXPECT_EQ(adapter->funcs.pfnCloseAdapter, real->pfnCloseAdapter);
            // The runtime closes it in the real driver directly: nothing of ours may wait for that close.
            EXPECT_EQ(AdapterList().Count(), 0u);
        }
        EXPECT_EQ(adapter->Close(), S_OK);
        EXPECT_EQ(CallsOfKind(kCallCloseAdapter10).size(), 1u);
    }
    EXPECT_EQ(FakeUmd_OpenAdapters(), 0);
}

// ---------------------------------------------------------------------------
// D3D12

TEST_F(OpenAdapterTest, OpenAdapter12PassesTheRuntimeArgumentsThrough)
{
    fakes::KmdAdapterConfig config = DefaultAdapter();
    config.umdNames = {kDriverA, kDriverA, kDriverA, kDriverB};
    config.fallbackMode = 1;
    Kmd().SetAdapter(config);
    auto adapter = fakes::OpenAdapter12(m_entries);
    ASSERT_EQ(adapter->hr, S_OK);
    auto opens = CallsOfKind(kCallOpenAdapter12);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].variant, kFakeUmdB);
    EXPECT_EQ(opens[0].handleIn, adapter->runtimeHandle);
    EXPECT_EQ(opens[0].callbacks, fakes::AdapterCallbacks());
    EXPECT_EQ(adapter->args.hAdapter.pDrvPrivate, opens[0].handleOut);
    EXPECT_EQ(AdapterList().Count(), 0u) << "no record for D3D12";
    ASSERT_EQ(Kmd().Queries().size(), 1u);
    EXPECT_EQ(Kmd().Queries()[0].hAdapter, adapter->runtimeHandle);
    EXPECT_EQ(Kmd().DriverQueries(), std::vector<HANDLE>{adapter->runtimeHandle});
    EXPECT_TRUE(ModuleLoaded(kDriverB)) << "the D3D12 driver stays loaded";
}

TEST_F(OpenAdapterTest, OpenAdapter12ReturnsItsOwnQueryResultAndRefusesMissingDrivers)
{
    fakes::KmdAdapterConfig config = DefaultAdapter();
    config.queryResult = E_ACCESSDENIED;
    Kmd().SetAdapter(config);
    EXPECT_EQ(fakes::OpenAdapter12(m_entries)->hr, E_ACCESSDENIED);

    config = DefaultAdapter();
    config.umdNames = {kDriverA, kDriverA, kDriverA, kDriverNone};
    Kmd().SetAdapter(config);
    EXPECT_EQ(fakes::OpenAdapter12(m_entries)->hr, E_OUTOFMEMORY);
    EXPECT_FALSE(ModuleLoaded(kDriverNone));

    config.umdNames = {kDriverA, kDriverA, kDriverA};
    Kmd().SetAdapter(config);
    Seams().loadedNames.clear();
    EXPECT_EQ(fakes::OpenAdapter12(m_entries)->hr, E_OUTOFMEMORY);
    EXPECT_TRUE(Seams().loadedNames.empty());

    // A name longer than the 260-unit buffer of the D3D12 path is no name.
    config.umdNames = {kDriverA, kDriverA, kDriverA, std::wstring(300, L'x') + L".dll"};
    Kmd().SetAdapter(config);
    EXPECT_EQ(fakes::OpenAdapter12(m_entries)->hr, E_OUTOFMEMORY);
    EXPECT_TRUE(Seams().loadedNames.empty());

    Kmd().SetAdapter(DefaultAdapter());
    FakeUmd_Config()->openResult = kDriverError;
    EXPECT_EQ(fakes::OpenAdapter12(m_entries)->hr, kDriverError);
}

// ---------------------------------------------------------------------------
// Close, bad input

TEST_F(OpenAdapterTest, CloseForwardsTheDriverHandleReturnsItsResultAndReleasesTheModule)
{
    LONG frees = FakeUmd_Frees(kFakeUmdA);
    auto adapter = fakes::OpenAdapter9(m_entries);
    ASSERT_EQ(adapter->hr, S_OK);
    FakeUmd_Config()->closeResult = kDriverError;
    EXPECT_EQ(adapter->Close(), kDriverError);
    auto closes = CallsOfKind(kCallCloseAdapter9);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].handleIn, adapter->args.hAdapter);
    EXPECT_EQ(FakeUmd_Frees(kFakeUmdA) - frees, 1);
    EXPECT_EQ(AdapterList().Count(), 0u);
}

TEST_F(OpenAdapterTest, CloseOfAnUnknownAdapterIsRefused)
{
    auto adapter = fakes::OpenAdapter9(m_entries);
    ASSERT_EQ(adapter->hr, S_OK);
    auto adapter10 = fakes::OpenAdapter10(m_entries);
    ASSERT_EQ(adapter10->hr, S_OK);
    EXPECT_EQ(brisel::D3d9CloseAdapterWrapper(nullptr), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9CloseAdapterWrapper(reinterpret_cast<HANDLE>(0x1234)), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d10CloseAdapterWrapper(D3D10DDI_HADAPTER{nullptr}), E_INVALIDARG);
    EXPECT_TRUE(CallsOfKind(kCallCloseAdapter9).empty());
    EXPECT_EQ(adapter->Close(), S_OK);
    EXPECT_EQ(adapter->Close(), E_INVALIDARG) << "a second close finds no record";
    EXPECT_EQ(CallsOfKind(kCallCloseAdapter9).size(), 1u);
    EXPECT_EQ(adapter10->Close(), S_OK);
}

TEST_F(OpenAdapterTest, NullArgumentsAreRefused)
{
    EXPECT_EQ(OpenAdapter(nullptr), E_INVALIDARG);
    EXPECT_EQ(OpenAdapter10(nullptr), E_INVALIDARG);
    EXPECT_EQ(OpenAdapter10_2(nullptr), E_INVALIDARG);
    EXPECT_EQ(OpenAdapter12(nullptr), E_INVALIDARG);
    D3DDDIARG_OPENADAPTER args{};
    args.Interface = 9;
    EXPECT_EQ(OpenAdapter(&args), E_INVALIDARG) << "no callbacks";
    EXPECT_EQ(Kmd().QueryCount(), 0u);
}

TEST_F(OpenAdapterTest, UnterminatedNameListCountsAsMissing)
{
    fakes::KmdAdapterConfig config = DefaultAdapter();
    config.rawUmdNames.assign(brisel::kUmdNameListUnits, L'a');  // no NUL anywhere
    Kmd().SetAdapter(config);
    Seams().loadedNames.clear();
    EXPECT_EQ(fakes::OpenAdapter9(m_entries)->hr, E_OUTOFMEMORY);
    EXPECT_EQ(fakes::OpenAdapter10(m_entries)->hr, E_OUTOFMEMORY);
    EXPECT_EQ(fakes::OpenAdapter10_2(m_entries, 0xB000B)->hr, E_OUTOFMEMORY);
    EXPECT_TRUE(Seams().loadedNames.empty()) << "nothing may be loaded from an unterminated list";
}

}  // namespace
