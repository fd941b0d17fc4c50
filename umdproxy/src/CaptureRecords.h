// The capture records of one device: AllocationRecord (one kernel allocation
// made while a tracked resource was being created) and TrackedSurface (a
// presented surface with its recorded allocations and its shadow buffer).
// Both are created with the non-throwing operator new. AllocationRecords are
// intrusive: each sits in exactly one queue at a time (a device's pending
// queue or one surface's list), so moving them never allocates.
// A surface's allocation list is guarded by the surface's own mutex; the
// queue itself has no lock. Runs on the runtime's and the driver's threads.
#pragma once

#include <windows.h>

#include "ddi/DdiCommon.h"

namespace brisel {

struct AllocationRecord {
    AllocationRecord* pNext;
    D3DKMT_HANDLE kmResource;  // hKMResource of the allocate call
    D3DDDI_ALLOCATIONINFO info;  // as filled in by the runtime
};

AllocationRecord* NewAllocationRecord() noexcept;  // zero-filled, or nullptr

// First-in first-out queue of AllocationRecords, insertion order kept.
class CAllocationQueue {
public:
    void PushBack(AllocationRecord* record) noexcept;
    AllocationRecord* Front() const noexcept { return m_pHead; }
    AllocationRecord* PopFront() noexcept;
    // Unlinks and returns the first record whose info.hAllocation is
    // `allocation`, or nullptr.
    AllocationRecord* RemoveFirst(D3DKMT_HANDLE allocation) noexcept;
    // Moves every record to the back of `dest`, in order.
    void MoveAllTo(CAllocationQueue& dest) noexcept;
    void DeleteAll() noexcept;
    unsigned Count() const noexcept;
    bool Empty() const noexcept { return m_pHead == nullptr; }

private:
    AllocationRecord* m_pHead = nullptr;
    AllocationRecord* m_pTail = nullptr;
};

// RAII holder of a critical section owned by a record.
class CLock {
public:
    CLock() noexcept { InitializeCriticalSection(&m_cs); }
    ~CLock() { DeleteCriticalSection(&m_cs); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
    void Enter() noexcept { EnterCriticalSection(&m_cs); }
    void Leave() noexcept { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

class CLockGuard {
public:
    explicit CLockGuard(CLock& lock) noexcept : m_lock(lock) { m_lock.Enter(); }
    ~CLockGuard() { m_lock.Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CLock& m_lock;
};

struct TrackedSurface {
    TrackedSurface* pNext;  // link of the device's trackedSurfaces
    HANDLE runtimeResource;
    HANDLE driverResource;  // lookup key
    UINT vidPnSourceId;
    UINT width;
    UINT height;
    UINT format;
    UINT refreshNumerator;
    UINT refreshDenominator;
    HANDLE shadowResource;  // 0 until made
    UINT bufferSize;
    void* bufferAddress;  // shadow buffer (VirtualAlloc or mapped memory)
    BYTE bufferOwned;  // bufferAddress came from EnsureBuffer
    BYTE isOpenedShared;
    UINT sourceMask;
    D3DKMT_HANDLE primaryAllocation;  // the first recorded allocation
    CLock mutex;  // guards `allocations`
    CAllocationQueue allocations;
    // Present callbacks on the driver's threads pin the surface while they
    // use it (both fields under the device's tracked lock). A surface whose
    // resource is destroyed meanwhile is unlisted and marked retired; its
    // last unpin hands it to the device's finishable list, which the
    // runtime's thread releases at its next call.
    UINT pins;
    BYTE retired;
    CLock copyLock;  // one present callback at a time makes the shadow and copies

    void AddAllocation(AllocationRecord* record) noexcept;
    // Head of the list, or nullptr (the record stays listed).
    AllocationRecord* FirstAllocation() noexcept;
    AllocationRecord* TakeFirstAllocation() noexcept;
    // True when a shadow buffer exists or was made: width × height × 4 bytes,
    // committed read-write. On failure bufferSize is 0 and the result false.
    bool EnsureBuffer() noexcept;
    // Whether one of the surface's allocations is `allocation` (under the mutex).
    bool HasAllocation(D3DKMT_HANDLE allocation) noexcept;
};

// Zero-filled surface with its mutex, or nullptr.
TrackedSurface* NewTrackedSurface() noexcept;
// Frees the buffer when EnsureBuffer allocated it (memory mapped from a
// driver resource is the driver's), the mutex and every AllocationRecord
// still listed.
void DestroyTrackedSurface(TrackedSurface* surface) noexcept;

constexpr UINT SourceMaskOf(UINT vidPnSourceId) noexcept { return 1u << (vidPnSourceId % 32); }

}  // namespace brisel
