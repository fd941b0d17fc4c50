// fakeumd_state.dll: the D3D9 device-function state of the fake vendor
// drivers (see FakeUmdD3d9State.h). Thread-safe through one critical section
// and interlocked counters.
#define FAKEUMD_STATE_BUILD
#include "FakeUmdD3d9State.h"

namespace {

constexpr unsigned kMaxCalls = 4096;

struct State {
    State() { InitializeCriticalSection(&lock); }
    ~State() { DeleteCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    FakeD3d9Config config{};
    FakeD3d9Call calls[kMaxCalls]{};
    unsigned callCount = 0;
    LONG counts[kD3d9CallKindCount]{};
    LONG live = 0;
};

State& S()
{
    static State* s_state = new State;  // never destroyed: fake drivers may outlive static teardown
    return *s_state;
}

FakeD3d9Config DefaultConfig()
{
    FakeD3d9Config c{};
    c.createResult = S_OK;
    c.sysMemCreateResult = S_OK;
    c.openResult = S_OK;
    c.presentResult = S_OK;
    c.bltResult = S_OK;
    c.setDisplayModeResult = S_OK;
    c.directFlipResult = S_OK;
    c.directFlipSupported = TRUE;
    c.bltPattern = 0x00A5C300;
    c.openAllocations = 1;
    return c;
}

struct InitDefaults {
    InitDefaults() { S().config = DefaultConfig(); }
} s_initDefaults;

}  // namespace

FAKEUMD_STATE_API FakeD3d9Config* FakeD3d9_Config() { return &S().config; }

FAKEUMD_STATE_API void FakeD3d9_Reset()
{
    State& s = S();
    EnterCriticalSection(&s.lock);
    s.config = DefaultConfig();
    s.callCount = 0;
    for (LONG& c : s.counts) InterlockedExchange(&c, 0);
    InterlockedExchange(&s.live, 0);
    LeaveCriticalSection(&s.lock);
}

FAKEUMD_STATE_API void FakeD3d9_Record(const FakeD3d9Call* call)
{
    State& s = S();
    if (call->kind >= 0 && call->kind < kD3d9CallKindCount) InterlockedIncrement(&s.counts[call->kind]);
    if (!FakeUmd_Config()->recordCalls) return;
    EnterCriticalSection(&s.lock);
    if (s.callCount < kMaxCalls) s.calls[s.callCount++] = *call;
    LeaveCriticalSection(&s.lock);
}

FAKEUMD_STATE_API unsigned FakeD3d9_CallCount()
{
    State& s = S();
    EnterCriticalSection(&s.lock);
    unsigned n = s.callCount;
    LeaveCriticalSection(&s.lock);
    return n;
}

FAKEUMD_STATE_API BOOL FakeD3d9_GetCall(unsigned index, FakeD3d9Call* call)
{
    State& s = S();
    EnterCriticalSection(&s.lock);
    BOOL ok = index < s.callCount;
    if (ok) *call = s.calls[index];
    LeaveCriticalSection(&s.lock);
    return ok;
}

FAKEUMD_STATE_API LONG FakeD3d9_CountOf(int kind)
{
    if (kind < 0 || kind >= kD3d9CallKindCount) return 0;
    return InterlockedCompareExchange(&S().counts[kind], 0, 0);
}

FAKEUMD_STATE_API LONG FakeD3d9_LiveResources() { return InterlockedCompareExchange(&S().live, 0, 0); }

FAKEUMD_STATE_API void FakeD3d9_LiveDelta(LONG delta) { InterlockedExchangeAdd(&S().live, delta); }
