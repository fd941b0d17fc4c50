// AdapterRecord: one per adapter opened through OpenAdapter, OpenAdapter10 or
// OpenAdapter10_2, with the operations on it that the entry points and the
// device wrappers share: lookup by the driver's adapter handle, the
// private-data query, driver-name selection, loading of the real driver and
// the host-process rules. Records live in the process-wide adapter list
// (RecordList.h) and are allocated zero-filled from the process heap.
// Runs on the runtime's threads; no lock is held while a callback or the real
// driver runs.
#pragma once

#include <windows.h>

#include <cstddef>

#include "KmdFormats.h"
#include "RecordList.h"
#include "ddi/D3d10Ddi.h"
#include "ddi/D3d9Ddi.h"

namespace brisel {

constexpr std::size_t kHostPathChars = 260;

struct AdapterRecord {
    ListLinks links;  // adapter list; first member
    HMODULE module;  // the loaded real driver
    AdapterPrivateData privateData;  // as answered by the kernel-mode driver
    char processPath[kHostPathChars];  // lower-cased host path
    DWORD processPathLength;
    BYTE isDwm;
    D3DDDI_ADAPTERCALLBACKS* pRuntimeCallbacks;  // points at runtimeCallbacks below
    D3DDDI_ADAPTERCALLBACKS runtimeCallbacks;
    PFND3DDDI_ESCAPECB escapeCb;  // stored by every device creation
    HANDLE runtimeAdapter;  // first argument of every escape and query
    HANDLE driverAdapter;  // the real driver's handle: lookup key
    union {
        D3DDDI_ADAPTERFUNCS d3d9;
        D3D10_2DDI_ADAPTERFUNCS d3d10;  // the 3-entry table is its prefix
    } realAdapterFuncs;  // written by the real driver itself
    BYTE mmcssEnabled;  // D3D9 only
    UINT driverVersion;  // D3D9 only: the real driver's DriverVersion
    // Set once the real entry point succeeded. Only open records are found by
    // lookups: a record still being opened has no driverAdapter yet, and a
    // close or creation passing a null handle must not find it.
    BYTE isOpen;
};

// Allocates a zero-filled record linked to itself, or nullptr.
AdapterRecord* NewAdapterRecord() noexcept;
// Unlinks (when listed) and frees the record and releases its module.
void DeleteAdapterRecord(AdapterRecord* record, bool releaseModule) noexcept;

AdapterRecord* FindAdapter(HANDLE driverAdapter) noexcept;
void PublishAdapter(AdapterRecord* record, HANDLE driverAdapter) noexcept;

// Escape callback stored by device creation, read by the escape channel from
// any thread.
void StoreEscapeCb(AdapterRecord* record, PFND3DDDI_ESCAPECB cb) noexcept;
PFND3DDDI_ESCAPECB LoadEscapeCb(const AdapterRecord* record) noexcept;

// Sets magic, size, request and tail magic in `block`, asks the kernel-mode
// driver through `query` and, when it succeeds, copies the answer into
// `record` (when given). Returns the callback's own result.
HRESULT QueryPrivateData(PFND3DDDI_QUERYADAPTERINFOCB query, HANDLE runtimeAdapter, AdapterPrivateData* block,
                         AdapterRecord* record) noexcept;

// Copies name `apiVersion - 9` (9..12 select entries 0..3) of the name list
// that fits the process (umdNamesWow under WOW64, else umdNames) into dest.
// Copies nothing (dest stays as the caller zero-filled it) for any other
// version, a list with fewer entries, a list whose terminating empty string
// is missing within its 1040 code units, or a name that does not fit dest.
void SelectDriverName(const AdapterPrivateData& block, unsigned apiVersion, wchar_t* dest,
                      std::size_t destCount) noexcept;

// Same for an explicit list (exposed for the tests of the list walk).
bool CopyNameListEntry(const wchar_t* list, std::size_t listUnits, unsigned entry, wchar_t* dest,
                       std::size_t destCount) noexcept;

// record.module = LoadLibraryW(name); E_OUTOFMEMORY when that fails (or the
// name is empty); otherwise *entry = GetProcAddress(module, entryName), which
// may be null, and S_OK.
HRESULT LoadRealDriver(AdapterRecord* record, const wchar_t* name, const char* entryName, FARPROC* entry) noexcept;

// Host rules: the host path, lower-cased. Returns false when it is unknown
// (no rule applies then).
bool ReadHostPath(AdapterRecord* record) noexcept;
bool HostPathContains(const AdapterRecord* record, const char* text) noexcept;

}  // namespace brisel
