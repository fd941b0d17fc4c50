// fakeumd_state.dll: the state shared by every fake vendor driver and the
// tests (see FakeUmdState.h). Thread-safe through one critical section.
#define FAKEUMD_STATE_BUILD
#include "FakeUmdState.h"

namespace {

constexpr unsigned kMaxCalls = 4096;

CRITICAL_SECTION s_lock;
FakeUmdConfig s_config;
FakeUmdCall s_calls[kMaxCalls];
unsigned s_callCount;
LONG s_loads[kFakeUmdVariantCount];
LONG s_frees[kFakeUmdVariantCount];
LONG s_openAdapters;
LONG s_nextHandle = 0x1000;

void DefaultConfig()
{
    s_config = FakeUmdConfig{};
    s_config.openResult = S_OK;
    s_config.closeResult = S_OK;
    s_config.createDeviceResult = S_OK;
    s_config.driverVersion = 0x5A5A;
    s_config.recordCalls = TRUE;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&s_lock);
        DefaultConfig();
    } else if (reason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&s_lock);
    }
    return TRUE;
}

FAKEUMD_STATE_API FakeUmdConfig* FakeUmd_Config() { return &s_config; }

FAKEUMD_STATE_API void FakeUmd_Reset()
{
    EnterCriticalSection(&s_lock);
    DefaultConfig();
    s_callCount = 0;
    LeaveCriticalSection(&s_lock);
}

FAKEUMD_STATE_API void FakeUmd_Record(const FakeUmdCall* call)
{
    if (!s_config.recordCalls) return;
    EnterCriticalSection(&s_lock);
    if (s_callCount < kMaxCalls) s_calls[s_callCount++] = *call;
    LeaveCriticalSection(&s_lock);
}

FAKEUMD_STATE_API unsigned FakeUmd_CallCount()
{
    EnterCriticalSection(&s_lock);
    unsigned n = s_callCount;
    LeaveCriticalSection(&s_lock);
    return n;
}

FAKEUMD_STATE_API BOOL FakeUmd_GetCall(unsigned index, FakeUmdCall* call)
{
    EnterCriticalSection(&s_lock);
    BOOL ok = index < s_callCount;
    if (ok) *call = s_calls[index];
    LeaveCriticalSection(&s_lock);
    return ok;
}

FAKEUMD_STATE_API void FakeUmd_ModuleEvent(int variant, BOOL attach)
{
    if (variant < 0 || variant >= kFakeUmdVariantCount) return;
    InterlockedIncrement(attach ? &s_loads[variant] : &s_frees[variant]);
}

FAKEUMD_STATE_API LONG FakeUmd_Loads(int variant)
{
    return (variant >= 0 && variant < kFakeUmdVariantCount) ? InterlockedCompareExchange(&s_loads[variant], 0, 0) : 0;
}

FAKEUMD_STATE_API LONG FakeUmd_Frees(int variant)
{
    return (variant >= 0 && variant < kFakeUmdVariantCount) ? InterlockedCompareExchange(&s_frees[variant], 0, 0) : 0;
}

FAKEUMD_STATE_API LONG FakeUmd_OpenAdapters() { return InterlockedCompareExchange(&s_openAdapters, 0, 0); }

FAKEUMD_STATE_API void FakeUmd_AdapterDelta(LONG delta) { InterlockedExchangeAdd(&s_openAdapters, delta); }

FAKEUMD_STATE_API void* FakeUmd_NewHandle()
{
    return reinterpret_cast<void*>(static_cast<ULONG_PTR>(InterlockedIncrement(&s_nextHandle)) << 4);
}
