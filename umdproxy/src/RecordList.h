// The process-wide record lists: a circular doubly linked list with a static
// sentinel, guarded by one critical section. Used for the adapter list and the
// device list. Every insert, unlink and walk holds the list's lock; a lookup
// releases it before handing the record back (a record is only freed by the
// close or destruction of its own adapter or device). Runs on any thread.
#pragma once

#include <windows.h>

namespace brisel {

struct ListLinks {
    ListLinks* pNext;
    ListLinks* pPrev;
};

// A record linked to itself is in no list; unlinking it again does nothing.
inline void ListLinkSelf(ListLinks* links) noexcept
{
    links->pNext = links;
    links->pPrev = links;
}

class CRecordList {
public:
    // Library entry: empty list, lock initialised (process attach) / deleted
    // (process detach).
    void Init() noexcept;
    void Uninit() noexcept;

    void InsertTail(ListLinks* links) noexcept;
    void Unlink(ListLinks* links) noexcept;

    // Walks the list under the lock and returns the first entry for which
    // match(entry) is true, or nullptr.
    template <class Match>
    ListLinks* Find(Match match) noexcept
    {
        EnterCriticalSection(&m_lock);
        ListLinks* found = nullptr;
        for (ListLinks* p = m_sentinel.pNext; p != &m_sentinel; p = p->pNext) {
            if (match(p)) {
                found = p;
                break;
            }
        }
        LeaveCriticalSection(&m_lock);
        return found;
    }

    // Runs fn under the lock (for updates that must be atomic with lookups).
    template <class Fn>
    void Locked(Fn fn) noexcept
    {
        EnterCriticalSection(&m_lock);
        fn();
        LeaveCriticalSection(&m_lock);
    }

    unsigned Count() noexcept;

private:
    ListLinks m_sentinel{&m_sentinel, &m_sentinel};
    CRITICAL_SECTION m_lock{};
    bool m_initialised = false;
};

// The two process-wide lists.
CRecordList& AdapterList() noexcept;
CRecordList& DeviceList() noexcept;

// Library entry and exit of the process-wide state.
void ProcessAttach() noexcept;
void ProcessDetach() noexcept;

}  // namespace brisel
