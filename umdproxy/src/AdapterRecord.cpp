// AdapterRecord operations shared by the entry points and device wrappers.
// Runs on the runtime's threads; the adapter list lock guards only list
// operations and the publication of driverAdapter.
#include "AdapterRecord.h"

#include <cstring>
#include <cwchar>

#include "SystemSeams.h"

namespace brisel {

AdapterRecord* NewAdapterRecord() noexcept
{
    auto* record = static_cast<AdapterRecord*>(SysHeapAllocZero(sizeof(AdapterRecord)));
    if (record) {
        ListLinkSelf(&record->links);
        record->pRuntimeCallbacks = &record->runtimeCallbacks;
    }
    return record;
}

void DeleteAdapterRecord(AdapterRecord* record, bool releaseModule) noexcept
{
    if (!record) return;
    AdapterList().Unlink(&record->links);
    if (releaseModule && record->module) SysFreeLibrary(record->module);
    record->module = nullptr;
    SysHeapFree(record);
}

AdapterRecord* FindAdapter(HANDLE driverAdapter) noexcept
{
    ListLinks* found = AdapterList().Find([driverAdapter](ListLinks* p) {
        auto* r = reinterpret_cast<AdapterRecord*>(p);
        return r->isOpen && r->driverAdapter == driverAdapter;
    });
    return reinterpret_cast<AdapterRecord*>(found);
}

void PublishAdapter(AdapterRecord* record, HANDLE driverAdapter) noexcept
{
    AdapterList().Locked([&] {
        record->driverAdapter = driverAdapter;
        record->isOpen = 1;
    });
}

void StoreEscapeCb(AdapterRecord* record, PFND3DDDI_ESCAPECB cb) noexcept
{
    __atomic_store_n(&record->escapeCb, cb, __ATOMIC_RELEASE);
}

PFND3DDDI_ESCAPECB LoadEscapeCb(const AdapterRecord* record) noexcept
{
    return __atomic_load_n(&record->escapeCb, __ATOMIC_ACQUIRE);
}

HRESULT QueryPrivateData(PFND3DDDI_QUERYADAPTERINFOCB query, HANDLE runtimeAdapter, AdapterPrivateData* block,
                         AdapterRecord* record) noexcept
{
    if (!query) return E_FAIL;
    block->magic = ESCAPE_MAGIC_HEAD;
    block->size = kAdapterPrivateDataSize;
    block->request = kAdapterPrivateDataRequest;
    block->tailMagic = ESCAPE_MAGIC_TAIL;
    D3DDDICB_QUERYADAPTERINFO info{block, kAdapterPrivateDataSize};
    HRESULT hr = query(runtimeAdapter, &info);
    if (SUCCEEDED(hr) && record) record->privateData = *block;
    return hr;
}

bool CopyNameListEntry(const wchar_t* list, std::size_t listUnits, unsigned entry, wchar_t* dest,
                       std::size_t destCount) noexcept
{
    // The list comes from the kernel-mode driver: never trust it to be
    // terminated. Find the terminating empty string first; without one the
    // list counts as missing.
    std::size_t pos = 0;
    std::size_t start = 0;
    unsigned index = 0;
    std::size_t foundStart = 0, foundLength = 0;
    bool found = false;
    for (;;) {
        if (pos >= listUnits) return false;  // unterminated list
        if (list[pos] == L'\0') {
            std::size_t length = pos - start;
            if (length == 0) break;  // the terminating empty string
            if (index == entry) {
                foundStart = start;
                foundLength = length;
                found = true;
            }
            ++index;
            start = pos + 1;
        }
        ++pos;
    }
    if (!found || foundLength + 1 > destCount) return false;
    std::wmemcpy(dest, list + foundStart, foundLength);
    dest[foundLength] = L'\0';
    return true;
}

void SelectDriverName(const AdapterPrivateData& block, unsigned apiVersion, wchar_t* dest,
                      std::size_t destCount) noexcept
{
    if (apiVersion < 9 || apiVersion > 12 || !dest || destCount == 0) return;
    const wchar_t* list = SysIsWow64() ? block.umdNamesWow : block.umdNames;
    CopyNameListEntry(list, kUmdNameListUnits, apiVersion - 9, dest, destCount);
}

HRESULT LoadRealDriver(AdapterRecord* record, const wchar_t* name, const char* entryName, FARPROC* entry) noexcept
{
    *entry = nullptr;
    // An empty name would make LoadLibraryW fail anyway; say so without asking.
    if (!name || name[0] == L'\0') return E_OUTOFMEMORY;
    record->module = SysLoadLibrary(name);
    if (!record->module) return E_OUTOFMEMORY;
    *entry = SysGetProcAddress(record->module, entryName);
    return S_OK;
}

bool ReadHostPath(AdapterRecord* record) noexcept
{
    char path[kHostPathChars] = {};
    DWORD length = SysGetHostPath(path, kHostPathChars);
    if (length == 0) return false;
    if (length >= kHostPathChars) length = kHostPathChars - 1;  // truncated: keep it terminated
    path[length] = '\0';
    // Only ASCII is lowered: the texts we look for are ASCII, and the path's
    // other bytes must not change under a code page's case rules.
    for (DWORD i = 0; i < length; ++i) {
        char c = path[i];
        if (c >= 'A' && c <= 'Z') path[i] = static_cast<char>(c - 'A' + 'a');
    }
    for (DWORD i = 0; i <= length; ++i) record->processPath[i] = path[i];
    record->processPathLength = static_cast<DWORD>(std::strlen(record->processPath));
    return true;
}

bool HostPathContains(const AdapterRecord* record, const char* text) noexcept
{
    return record->processPathLength != 0 && std::strstr(record->processPath, text) != nullptr;
}

}  // namespace brisel
