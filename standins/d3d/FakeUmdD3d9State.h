// State of the fake vendor drivers' D3D9 device functions, kept in
// fakeumd_state.dll beside the common call log (FakeUmdState.h): the log of
// every resource, present, blit, mode and DirectFlip call with its
// arguments, the answers the tests choose, per-kind call counters that run
// even when the log is off, and the count of live resources (created or
// opened and not yet destroyed through pfnDestroyResource).
// All functions are thread-safe.
#pragma once

#include <windows.h>

#include "FakeUmdState.h"

enum FakeD3d9CallKind : int {
    kD3d9CallCreateResource,  // entry 37
    kD3d9CallCreateResource2,  // entry 128
    kD3d9CallOpenResource,  // entry 93
    kD3d9CallDestroyResource,  // entry 38
    kD3d9CallPresent,  // entry 40
    kD3d9CallPresent1,  // entry 136
    kD3d9CallBlt,  // entry 55
    kD3d9CallSetDisplayMode,  // entry 39
    kD3d9CallCheckDirectFlip,  // entry 127
    kD3d9CallKindCount,
};

struct FakeD3d9Call {
    int kind;
    void* hDevice;  // the driver device handle the call received
    void* hResource;  // creations and opens: the runtime's handle; otherwise the resource acted on
                      // (Present: hSrcResource, Present1: the first source, Blt: hSrcResource)
    void* hResult;  // creations and opens: the driver handle handed back
    HRESULT result;  // what the fake answered
    // Creations (the first surface of pSurfList) and opens.
    UINT format;
    UINT pool;
    UINT flags;  // resource, open, present or blit flags
    UINT flags2;  // CreateResource2 only
    UINT surfCount;
    UINT mipLevels;
    UINT rotation;
    UINT vidPnSourceId;
    UINT refreshNumerator;
    UINT refreshDenominator;
    UINT width;
    UINT height;
    const void* pSysMem;
    UINT sysMemPitch;
    UINT allocations;  // allocations made through pfnAllocateCb, or opened
    // Blt.
    void* hDst;
    RECT srcRect;
    RECT dstRect;
    UINT subResources;  // Blt: SrcSubResourceIndex << 16 | DstSubResourceIndex
    DWORD colorKey;
    UINT pixelsWritten;  // pixels the copy wrote into a system-memory destination
    BOOL supported;  // DirectFlip: the answer given
};

struct FakeD3d9Config {
    UINT allocationsPerResource;  // 0: one per surface of pSurfList (at most 4)
    HRESULT createResult;  // creations outside system memory
    HRESULT sysMemCreateResult;  // creations in system memory (shadow surfaces)
    HRESULT openResult;
    HRESULT presentResult;
    HRESULT bltResult;
    HRESULT setDisplayModeResult;
    HRESULT directFlipResult;
    BOOL directFlipSupported;
    DWORD bltPattern;  // a copy writes pixel (x, y) = bltPattern ^ (y << 16 | x)
    UINT openAllocations;  // allocations an opened resource has (at most 4)
};

FAKEUMD_STATE_API FakeD3d9Config* FakeD3d9_Config();
// Default answers, empty log, counters and live count zero.
FAKEUMD_STATE_API void FakeD3d9_Reset();
FAKEUMD_STATE_API void FakeD3d9_Record(const FakeD3d9Call* call);
FAKEUMD_STATE_API unsigned FakeD3d9_CallCount();
FAKEUMD_STATE_API BOOL FakeD3d9_GetCall(unsigned index, FakeD3d9Call* call);
// Calls of one kind since the last reset, logged or not.
FAKEUMD_STATE_API LONG FakeD3d9_CountOf(int kind);
FAKEUMD_STATE_API LONG FakeD3d9_LiveResources();
FAKEUMD_STATE_API void FakeD3d9_LiveDelta(LONG delta);
