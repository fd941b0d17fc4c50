// Test fixture and seams shared by Brisel's test programs.
#include "UmdTestSupport.h"

#include <cstring>

#include "AdapterRecord.h"
#include "KmdFormats.h"
#include "RecordList.h"
#include "SystemSeams.h"

namespace umdtest {

HRESULT AllocateAs(PFND3DDDI_ALLOCATECB allocate, HANDLE device, HANDLE resource, UINT umdVersion,
                   std::vector<D3DDDI_ALLOCATIONINFO>& infos)
{
    const bool info2 = AllocationInfo2ForUmdVersion(umdVersion);
    std::vector<D3DDDI_ALLOCATIONINFO2> infos2(infos.size());
    for (size_t i = 0; i < infos.size(); ++i) std::memcpy(&infos2[i], &infos[i], sizeof infos[i]);
    D3DDDICB_ALLOCATE args{};
    args.hResource = resource;
    args.NumAllocations = static_cast<UINT>(infos.size());
    args.pAllocationInfo = info2 ? reinterpret_cast<D3DDDI_ALLOCATIONINFO*>(infos2.data()) : infos.data();
    const HRESULT hr = allocate(device, &args);
    for (size_t i = 0; info2 && i < infos.size(); ++i) std::memcpy(&infos[i], &infos2[i], sizeof infos[i]);
    return hr;
}

namespace {

SeamState s_seams;

int SeamIsWow64() { return s_seams.wow64 ? 1 : 0; }

DWORD SeamHostPath(char* path, DWORD capacity)
{
    if (s_seams.hostPath.empty() || capacity == 0) return 0;
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(s_seams.hostPath.size(), capacity - 1));
    std::memcpy(path, s_seams.hostPath.data(), n);
    path[n] = '\0';
    return n;
}

HMODULE SeamLoadLibrary(const wchar_t* name)
{
    s_seams.loadedNames.emplace_back(name);
    if (s_seams.failLoadLibrary) return nullptr;
    return LoadLibraryW(name);
}

bool SeamHeap()
{
    if (s_seams.heapFailures > 0) {
        --s_seams.heapFailures;
        return false;
    }
    return true;
}

bool SeamRecord()
{
    if (s_seams.recordFailures > 0) {
        --s_seams.recordFailures;
        return false;
    }
    if (s_seams.recordFailAfter == 0) return false;
    if (s_seams.recordFailAfter > 0) --s_seams.recordFailAfter;
    return true;
}

bool SeamVirtual() { return !s_seams.failVirtualAlloc; }

// The library entry that Brisel.dll's DllMain runs, for the linked copy.
struct ProcessState {
    ProcessState() { brisel::ProcessAttach(); }
} s_processState;

}  // namespace

SeamState& Seams() { return s_seams; }

fakes::DriverEntries LinkedEntries() { return {&OpenAdapter, &OpenAdapter10, &OpenAdapter10_2, &OpenAdapter12}; }

std::vector<FakeUmdCall> CallsOfKind(int kind)
{
    std::vector<FakeUmdCall> calls;
    FakeUmdCall call;
    for (unsigned i = 0; FakeUmd_GetCall(i, &call); ++i) {
        if (call.kind == kind) calls.push_back(call);
    }
    return calls;
}

int LastOpenVariant()
{
    int variant = -1;
    FakeUmdCall call;
    for (unsigned i = 0; FakeUmd_GetCall(i, &call); ++i) {
        if (call.kind <= kCallOpenAdapter12) variant = call.variant;
    }
    return variant;
}

fakes::KmdAdapterConfig DefaultAdapter()
{
    fakes::KmdAdapterConfig c;
    c.umdNames = {kDriverA, kDriverA, kDriverA, kDriverA};
    c.umdNamesWow = {kDriverB, kDriverB, kDriverB, kDriverB};
    return c;
}

void UmdTest::SetUp()
{
    s_seams = SeamState{};
    auto& o = brisel::TestOverrides();
    o.pfnIsWow64 = &SeamIsWow64;
    o.pfnGetHostPath = &SeamHostPath;
    o.pfnLoadLibrary = &SeamLoadLibrary;
    o.pfnHeapMayAllocate = &SeamHeap;
    o.pfnRecordMayAllocate = &SeamRecord;
    o.pfnVirtualMayAllocate = &SeamVirtual;
    ResetKmd();
    fakes::ResetRuntimeLog();
    FakeUmd_Reset();
}

void UmdTest::TearDown()
{
    // Every test closes what it opened: nothing may stay listed.
    EXPECT_EQ(brisel::AdapterList().Count(), 0u) << "adapter record left behind";
    EXPECT_EQ(brisel::DeviceList().Count(), 0u) << "device record left behind";
    brisel::TestOverrides() = brisel::SystemOverrides{};
}

void UmdTest::ResetKmd()
{
    Kmd().Reset();
    Kmd().SetAdapter(DefaultAdapter());
}

void UmdTest::AnswerActiveSources(UINT mask, HRESULT result)
{
    Kmd().SetAnswer(brisel::kEscQueryActiveSourceMask, {result, {{brisel::esc::kActiveSourceMask, mask}}});
}

void UmdTest::AnswerAllocationInfo(UINT width, UINT height, UINT format, HRESULT result)
{
    Kmd().SetAnswer(
        brisel::kEscQueryAllocationInfo,
        {result,
         {{brisel::esc::kInfoWidth, width}, {brisel::esc::kInfoHeight, height}, {brisel::esc::kInfoFormat, format}}});
}

void UmdTest::AnswerAllocationSourceMask(UINT mask, HRESULT result)
{
    Kmd().SetAnswer(brisel::kEscQueryAllocationSourceMask, {result, {{brisel::esc::kAllocationSourceMask, mask}}});
}

void UmdTest::FailEscape(uint32_t command, HRESULT result) { Kmd().SetAnswer(command, {result, {}}); }

std::vector<fakes::RecordedEscape> UmdTest::EscapesOf(uint32_t command)
{
    std::vector<fakes::RecordedEscape> out;
    for (const auto& e : Kmd().Escapes()) {
        if (e.Command() == command) out.push_back(e);
    }
    return out;
}

}  // namespace umdtest
