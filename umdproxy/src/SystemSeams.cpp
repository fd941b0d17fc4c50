// The operating-system seam: real services unless a test installed an
// override. Runs on the caller's thread.
#include "SystemSeams.h"

#include <dwmapi.h>

namespace brisel {

namespace {
SystemOverrides s_overrides;
}

SystemOverrides& TestOverrides() noexcept { return s_overrides; }

bool SysIsWow64() noexcept
{
    if (s_overrides.pfnIsWow64) return s_overrides.pfnIsWow64() != 0;
    BOOL isWow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &isWow64)) return false;
    return isWow64 != FALSE;
}

DWORD SysGetHostPath(char* path, DWORD capacity) noexcept
{
    if (s_overrides.pfnGetHostPath) return s_overrides.pfnGetHostPath(path, capacity);
    return GetModuleFileNameA(nullptr, path, capacity);
}

HMODULE SysLoadLibrary(const wchar_t* name) noexcept
{
    if (s_overrides.pfnLoadLibrary) return s_overrides.pfnLoadLibrary(name);
    return LoadLibraryW(name);
}

FARPROC SysGetProcAddress(HMODULE module, const char* name) noexcept { return GetProcAddress(module, name); }

void SysFreeLibrary(HMODULE module) noexcept
{
    if (module) FreeLibrary(module);
}

void* SysHeapAllocZero(std::size_t bytes) noexcept
{
    if (s_overrides.pfnHeapMayAllocate && !s_overrides.pfnHeapMayAllocate()) return nullptr;
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void SysHeapFree(void* p) noexcept
{
    if (p) HeapFree(GetProcessHeap(), 0, p);
}

bool SysMayAllocateRecord() noexcept { return !s_overrides.pfnRecordMayAllocate || s_overrides.pfnRecordMayAllocate(); }

void* SysVirtualAlloc(std::size_t bytes) noexcept
{
    if (s_overrides.pfnVirtualMayAllocate && !s_overrides.pfnVirtualMayAllocate()) return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
}

HRESULT SysDwmEnableMmcss(BOOL enable) noexcept
{
    if (s_overrides.pfnDwmEnableMmcss) return s_overrides.pfnDwmEnableMmcss(enable);
    return DwmEnableMMCSS(enable);
}

void SysOutputDebugString(const char* text) noexcept
{
    if (s_overrides.pfnOutputDebugString) return s_overrides.pfnOutputDebugString(text);
    OutputDebugStringA(text);
}

}  // namespace brisel
