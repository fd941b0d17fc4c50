// The few operating-system services Brisel's decisions depend on, behind one
// seam so that tests can choose what they report and inject failures:
// IsWow64Process, the host module path, LoadLibraryW / GetProcAddress /
// FreeLibrary, the process heap and the non-throwing operator new of the
// records. Shipped code never sets an override; each override is a plain
// function pointer read on every call (set it before the code under test
// runs). Called on whatever thread the runtime or the real driver uses.
#pragma once

#include <windows.h>

#include <cstddef>

namespace brisel {

// Services used by the entry points and records.
bool SysIsWow64() noexcept;
DWORD SysGetHostPath(char* path, DWORD capacity) noexcept;
HMODULE SysLoadLibrary(const wchar_t* name) noexcept;
FARPROC SysGetProcAddress(HMODULE module, const char* name) noexcept;
void SysFreeLibrary(HMODULE module) noexcept;
void* SysHeapAllocZero(std::size_t bytes) noexcept;
void SysHeapFree(void* p) noexcept;
// Storage for the records made with the non-throwing operator new.
bool SysMayAllocateRecord() noexcept;
void* SysVirtualAlloc(std::size_t bytes) noexcept;
// DwmEnableMMCSS and OutputDebugStringA (D3D9 capture).
HRESULT SysDwmEnableMmcss(BOOL enable) noexcept;
void SysOutputDebugString(const char* text) noexcept;

// Test seams: a null pointer means "use the real service".
struct SystemOverrides {
    int (*pfnIsWow64)() = nullptr;  // nonzero: TRUE
    DWORD (*pfnGetHostPath)(char*, DWORD) = nullptr;
    HMODULE (*pfnLoadLibrary)(const wchar_t*) = nullptr;
    bool (*pfnHeapMayAllocate)() = nullptr;  // false: HeapAlloc fails
    bool (*pfnRecordMayAllocate)() = nullptr;  // false: new (nothrow) fails
    bool (*pfnVirtualMayAllocate)() = nullptr;  // false: VirtualAlloc fails
    HRESULT (*pfnDwmEnableMmcss)(BOOL) = nullptr;
    void (*pfnOutputDebugString)(const char*) = nullptr;
};

SystemOverrides& TestOverrides() noexcept;

}  // namespace brisel
