// AllocationRecord queue and TrackedSurface operations. Runs on the runtime's
// and the driver's threads; a surface's list is only touched under its mutex.
#include "CaptureRecords.h"

#include <new>

#include "SystemSeams.h"

namespace brisel {

AllocationRecord* NewAllocationRecord() noexcept
{
    if (!SysMayAllocateRecord()) return nullptr;
    return new (std::nothrow) AllocationRecord{};
}

void CAllocationQueue::PushBack(AllocationRecord* record) noexcept
{
    record->pNext = nullptr;
    if (m_pTail) m_pTail->pNext = record;
    else m_pHead = record;
    m_pTail = record;
}

AllocationRecord* CAllocationQueue::PopFront() noexcept
{
    AllocationRecord* record = m_pHead;
    if (!record) return nullptr;
    m_pHead = record->pNext;
    if (!m_pHead) m_pTail = nullptr;
    record->pNext = nullptr;
    return record;
}

AllocationRecord* CAllocationQueue::RemoveFirst(D3DKMT_HANDLE allocation) noexcept
{
    AllocationRecord* prev = nullptr;
    for (AllocationRecord* p = m_pHead; p; prev = p, p = p->pNext) {
        if (p->info.hAllocation != allocation) continue;
        if (prev) prev->pNext = p->pNext;
        else m_pHead = p->pNext;
        if (m_pTail == p) m_pTail = prev;
        p->pNext = nullptr;
        return p;
    }
    return nullptr;
}

void CAllocationQueue::MoveAllTo(CAllocationQueue& dest) noexcept
{
    while (AllocationRecord* record = PopFront()) dest.PushBack(record);
}

void CAllocationQueue::DeleteAll() noexcept
{
    while (AllocationRecord* record = PopFront()) delete record;
}

unsigned CAllocationQueue::Count() const noexcept
{
    unsigned n = 0;
    for (AllocationRecord* p = m_pHead; p; p = p->pNext) ++n;
    return n;
}

void TrackedSurface::AddAllocation(AllocationRecord* record) noexcept
{
    CLockGuard guard(mutex);
    allocations.PushBack(record);
}

AllocationRecord* TrackedSurface::FirstAllocation() noexcept
{
    CLockGuard guard(mutex);
    return allocations.Front();
}

AllocationRecord* TrackedSurface::TakeFirstAllocation() noexcept
{
    CLockGuard guard(mutex);
    return allocations.PopFront();
}

bool TrackedSurface::HasAllocation(D3DKMT_HANDLE allocation) noexcept
{
    CLockGuard guard(mutex);
    for (AllocationRecord* p = allocations.Front(); p; p = p->pNext) {
        if (p->info.hAllocation == allocation) return true;
    }
    return false;
}

bool TrackedSurface::EnsureBuffer() noexcept
{
    if (bufferAddress) return true;
    // width × height × 4 must fit the 32-bit size field; a surface too large
    // for that (or for a 32-bit address space) gets no buffer.
    unsigned long long bytes = 4ull * width * height;
    if (bytes == 0 || bytes > 0x7FFFFFFFull) {
        bufferSize = 0;
        return false;
    }
    bufferSize = static_cast<UINT>(bytes);
    bufferAddress = SysVirtualAlloc(bufferSize);
    if (!bufferAddress) {
        bufferSize = 0;
        return false;
    }
    bufferOwned = 1;
    return true;
}

TrackedSurface* NewTrackedSurface() noexcept
{
    if (!SysMayAllocateRecord()) return nullptr;
    return new (std::nothrow) TrackedSurface{};
}

void DestroyTrackedSurface(TrackedSurface* surface) noexcept
{
    if (!surface) return;
    if (surface->bufferAddress && surface->bufferOwned) VirtualFree(surface->bufferAddress, 0, MEM_RELEASE);
    surface->bufferAddress = nullptr;
    {
        CLockGuard guard(surface->mutex);
        surface->allocations.DeleteAll();
    }
    delete surface;
}

}  // namespace brisel
