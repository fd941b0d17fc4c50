// The adapter and device lists and the library's process attach and detach.
// Runs on the loader's thread (attach, detach) and on any runtime thread.
#include "RecordList.h"

namespace brisel {

namespace {
CRecordList s_adapterList;
CRecordList s_deviceList;
}  // namespace

CRecordList& AdapterList() noexcept { return s_adapterList; }
CRecordList& DeviceList() noexcept { return s_deviceList; }

void CRecordList::Init() noexcept
{
    if (m_initialised) return;
    ListLinkSelf(&m_sentinel);
    InitializeCriticalSection(&m_lock);
    m_initialised = true;
}

void CRecordList::Uninit() noexcept
{
    if (!m_initialised) return;
    DeleteCriticalSection(&m_lock);
    ListLinkSelf(&m_sentinel);
    m_initialised = false;
}

void CRecordList::InsertTail(ListLinks* links) noexcept
{
    EnterCriticalSection(&m_lock);
    links->pPrev = m_sentinel.pPrev;
    links->pNext = &m_sentinel;
    m_sentinel.pPrev->pNext = links;
    m_sentinel.pPrev = links;
    LeaveCriticalSection(&m_lock);
}

void CRecordList::Unlink(ListLinks* links) noexcept
{
    EnterCriticalSection(&m_lock);
    links->pPrev->pNext = links->pNext;
    links->pNext->pPrev = links->pPrev;
    ListLinkSelf(links);
    LeaveCriticalSection(&m_lock);
}

unsigned CRecordList::Count() noexcept
{
    unsigned n = 0;
    Find([&n](ListLinks*) {
        ++n;
        return false;
    });
    return n;
}

void ProcessAttach() noexcept
{
    s_adapterList.Init();
    s_deviceList.Init();
}

void ProcessDetach() noexcept
{
    s_adapterList.Uninit();
    s_deviceList.Uninit();
}

}  // namespace brisel
