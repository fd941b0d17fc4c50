// Allocation operators for the DLLs that a host process loads and frees over
// and over (a display driver is loaded per adapter open and freed per close).
//
// The runtime library's own nothrow new is built on exceptions. Linking it
// drags libgcc's unwinder in, whose frame registration at load runs a
// thread-library once-routine that takes a TLS slot and never gives it back.
// A process has about a thousand slots: after that many loads TlsAlloc fails
// and the thread library aborts the host. These operators serve every new and
// delete of the DLL from the process heap instead, so nothing of the
// exception runtime is linked.
#include <windows.h>

#include <cstddef>
#include <new>

namespace {

void* AllocateFromProcessHeap(std::size_t size) noexcept { return HeapAlloc(GetProcessHeap(), 0, size ? size : 1); }

void FreeToProcessHeap(void* block) noexcept {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateFromProcessHeap(size); }

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateFromProcessHeap(size); }

// Code built without exceptions may still name the plain forms; they report
// failure the only way left to them, with a null pointer.
void* operator new(std::size_t size) { return AllocateFromProcessHeap(size); }

void* operator new[](std::size_t size) { return AllocateFromProcessHeap(size); }

void operator delete(void* block) noexcept { FreeToProcessHeap(block); }

void operator delete[](void* block) noexcept { FreeToProcessHeap(block); }

void operator delete(void* block, std::size_t) noexcept { FreeToProcessHeap(block); }

void operator delete[](void* block, std::size_t) noexcept { FreeToProcessHeap(block); }

void operator delete(void* block, const std::nothrow_t&) noexcept { FreeToProcessHeap(block); }
