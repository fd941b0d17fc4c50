// Shared fixture of Brisel's tests: resets the fake kernel-mode driver, the
// fake runtime's log and the fake vendor drivers' state, and installs the
// test seams (WOW64 answer, host path, LoadLibraryW log and failure, heap,
// record and VirtualAlloc failure); scripts the kernel-mode driver's escape
// answers and reads the escapes it received. Runs on the test's main thread.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BriselEntry.h"
#include "FakeKmd.h"
#include "FakeRuntime.h"
#include "FakeUmdState.h"

namespace umdtest {

struct SeamState {
    bool wow64 = false;
    std::string hostPath = "C:\\Program Files\\App\\app.exe";  // empty: GetModuleFileNameA fails
    bool failLoadLibrary = false;
    int heapFailures = 0;  // upcoming HeapAlloc calls that fail
    int recordFailures = 0;  // upcoming record allocations that fail
    int recordFailAfter = -1;  // fail record allocations after this many succeeded (-1: never)
    bool failVirtualAlloc = false;
    std::vector<std::wstring> loadedNames;  // every name LoadLibraryW was asked for
};

SeamState& Seams();

// The entry points of the linked internals library.
fakes::DriverEntries LinkedEntries();

// The fake driver variant that answered the last OpenAdapter* call, or -1.
int LastOpenVariant();
std::vector<FakeUmdCall> CallsOfKind(int kind);

// Names for the default name lists.
inline const wchar_t* kDriverA = L"fakeumd_a.dll";
inline const wchar_t* kDriverB = L"fakeumd_b.dll";
inline const wchar_t* kDriverNo10_2 = L"fakeumd_no10_2.dll";
inline const wchar_t* kDriverNone = L"fakeumd_none.dll";

// Default adapter: every entry names fakeumd_a.dll, the WOW64 list fakeumd_b.dll.
fakes::KmdAdapterConfig DefaultAdapter();

// Calls `allocate` as a driver told `umdVersion` would: `infos` travel in that
// version's form (D3DDDI_ALLOCATIONINFO2 entries from WDDM 2.0 on) and are
// read back after the call, the runtime's handles and anything the callee
// changed included.
HRESULT AllocateAs(PFND3DDDI_ALLOCATECB allocate, HANDLE device, HANDLE resource, UINT umdVersion,
                   std::vector<D3DDDI_ALLOCATIONINFO>& infos);

class UmdTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    fakes::FakeKmd& Kmd() { return fakes::FakeKmd::Instance(); }
    // Forgets every escape and scripted answer; the default adapter again.
    void ResetKmd();

    // Scripted answers of the kernel-mode driver.
    void AnswerActiveSources(UINT mask, HRESULT result = S_OK);
    void AnswerAllocationInfo(UINT width, UINT height, UINT format, HRESULT result = S_OK);
    void AnswerAllocationSourceMask(UINT mask, HRESULT result = S_OK);
    void FailEscape(uint32_t command, HRESULT result = E_FAIL);
    // The escapes of one command the kernel-mode driver received, in order.
    std::vector<fakes::RecordedEscape> EscapesOf(uint32_t command);

    fakes::DriverEntries m_entries = LinkedEntries();
};

}  // namespace umdtest
