// Per-table records of the runtime's DXGI present callback. See
// DxgiCallbackTables.h for the lifetime and the lock.
#include "DxgiCallbackTables.h"

#include <new>

#include "CaptureRecords.h"
#include "SystemSeams.h"

namespace brisel {

struct DxgiCallbackTable {
    DxgiCallbackTable* pNext;
    DXGI_DDI_BASE_CALLBACKS* table;  // the key
    PFNDDXGIDDI_PRESENTCB runtimePresentCb;  // what the runtime put into the table
    PFNDDXGIDDI_PRESENTCB wrapper;  // what Brisel put there
    unsigned users;  // devices created with this table
};

namespace {

// Singly linked; a process holds a few tables at most.
DxgiCallbackTable* s_head;
CLock s_lock;

DxgiCallbackTable* FindLocked(const DXGI_DDI_BASE_CALLBACKS* table) noexcept
{
    for (DxgiCallbackTable* r = s_head; r; r = r->pNext) {
        if (r->table == table) return r;
    }
    return nullptr;
}

void UnlinkLocked(DxgiCallbackTable* record) noexcept
{
    for (DxgiCallbackTable** p = &s_head; *p; p = &(*p)->pNext) {
        if (*p != record) continue;
        *p = record->pNext;
        return;
    }
}

}  // namespace

DxgiCallbackTable* AcquireDxgiCallbackTable(DXGI_DDI_BASE_CALLBACKS* table, PFNDDXGIDDI_PRESENTCB wrapper,
                                            PFNDDXGIDDI_PRESENTCB* runtimePresentCb) noexcept
{
    if (!table || !runtimePresentCb) return nullptr;
    CLockGuard guard(s_lock);
    const auto current = DdiTableGet<PFNDDXGIDDI_PRESENTCB>(*table, kDxgiCbPresent);
    DxgiCallbackTable* record = FindLocked(table);
    if (record) {
        // The runtime wrote its own function again (as it may for each
        // device it creates with the table): that is the one to call.
        if (current != wrapper) record->runtimePresentCb = current;
    } else {
        record = SysMayAllocateRecord() ? new (std::nothrow) DxgiCallbackTable{} : nullptr;
        if (!record) return nullptr;
        record->table = table;
        // A table that holds the wrapper without a record has no runtime
        // function to tell; the wrapper then answers presents itself.
        record->runtimePresentCb = current;
        record->wrapper = wrapper;
        record->pNext = s_head;
        s_head = record;
    }
    ++record->users;
    DdiTableSet(*table, kDxgiCbPresent, wrapper);
    *runtimePresentCb = record->runtimePresentCb;
    return record;
}

void ReleaseDxgiCallbackTable(DxgiCallbackTable* record) noexcept
{
    if (!record) return;
    {
        CLockGuard guard(s_lock);
        if (--record->users != 0) return;
        if (DdiTableGet<PFNDDXGIDDI_PRESENTCB>(*record->table, kDxgiCbPresent) == record->wrapper)
            DdiTableSet(*record->table, kDxgiCbPresent, record->runtimePresentCb);
        UnlinkLocked(record);
    }
    delete record;
}

unsigned DxgiCallbackTablesHeld() noexcept
{
    CLockGuard guard(s_lock);
    unsigned n = 0;
    for (DxgiCallbackTable* r = s_head; r; r = r->pNext) ++n;
    return n;
}

}  // namespace brisel
