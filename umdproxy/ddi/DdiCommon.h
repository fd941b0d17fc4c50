// Declarations shared by every API of the Direct3D user-mode driver
// interface that Brisel touches: kernel handles, the adapter callbacks, the
// runtime device callback table (D3DDDI_DEVICECALLBACKS) and the argument
// structures of the callbacks Brisel calls or wraps.
//
// Written from the published interface description; only what Brisel and its
// test stand-ins use is declared. All layouts are those of 32-bit x86 and are
// pinned by static_asserts. Thread-neutral (declarations only).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "DdiTable.h"

// Every entry point and callback of the interface uses the driver entry
// calling convention (__stdcall on x86).
#ifndef APIENTRY
#define APIENTRY WINAPI
#endif

using D3DKMT_HANDLE = UINT;
using D3DDDI_VIDEO_PRESENT_SOURCE_ID = UINT;
using D3DGPU_VIRTUAL_ADDRESS = UINT64;

struct D3DDDI_RATIONAL {
    UINT Numerator;
    UINT Denominator;
};

// ---------------------------------------------------------------------------
// Adapter callbacks (handed to every OpenAdapter* entry point).

struct D3DDDICB_QUERYADAPTERINFO {
    VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
};

using PFND3DDDI_QUERYADAPTERINFOCB = HRESULT(APIENTRY*)(HANDLE hAdapter, const D3DDDICB_QUERYADAPTERINFO*);
using PFND3DDDI_GETMULTISAMPLEMETHODLISTCB = HRESULT(APIENTRY*)(HANDLE hAdapter, VOID* pArgs);

struct D3DDDI_ADAPTERCALLBACKS {
    PFND3DDDI_QUERYADAPTERINFOCB pfnQueryAdapterInfoCb;
    PFND3DDDI_GETMULTISAMPLEMETHODLISTCB pfnGetMultisampleMethodListCb;
};

// ---------------------------------------------------------------------------
// Allocation description (D3DDDICB_ALLOCATE.pAllocationInfo).

// D3DDDI_ALLOCATIONINFO.Flags: bit 0 Primary, bit 1 Stereo.
constexpr UINT kAllocationFlagPrimary = 0x1;

struct D3DDDI_ALLOCATIONINFO {
    D3DKMT_HANDLE hAllocation;               // out: filled in by the runtime
    const VOID* pSystemMem;
    VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;
    UINT Flags;                              // bit field union in the interface
};

struct D3DDDI_OPENALLOCATIONINFO {
    D3DKMT_HANDLE hAllocation;
    const VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
};

// ---------------------------------------------------------------------------
// Argument structures of the device callbacks Brisel calls or wraps.

struct D3DDDICB_ALLOCATE {
    const VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
    HANDLE hResource;
    D3DKMT_HANDLE hKMResource;               // out
    UINT NumAllocations;
    D3DDDI_ALLOCATIONINFO* pAllocationInfo;
};

struct D3DDDICB_DEALLOCATE2 {
    HANDLE hResource;
    UINT NumAllocations;
    const D3DKMT_HANDLE* HandleList;
    UINT Flags;                              // D3DDDICB_DEALLOCATEFLAGS
};

struct D3DDDICB_ESCAPE {
    HANDLE hDevice;
    UINT Flags;                              // D3DDDI_ESCAPEFLAGS
    VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
    HANDLE hContext;
};

struct D3DDDICB_SETDISPLAYMODE {
    D3DKMT_HANDLE hPrimaryAllocation;
    UINT PrivateDriverFormatAttribute;
};

// Opaque to Brisel: pfnSubmitCommandCb is forwarded with its argument untouched.
struct D3DDDICB_SUBMITCOMMAND;

using PFND3DDDI_ALLOCATECB = HRESULT(APIENTRY*)(HANDLE hDevice, D3DDDICB_ALLOCATE*);
using PFND3DDDI_DEALLOCATE2CB = HRESULT(APIENTRY*)(HANDLE hDevice, const D3DDDICB_DEALLOCATE2*);
using PFND3DDDI_SUBMITCOMMANDCB = HRESULT(APIENTRY*)(HANDLE hDevice, const D3DDDICB_SUBMITCOMMAND*);
using PFND3DDDI_ESCAPECB = HRESULT(APIENTRY*)(HANDLE hAdapter, const D3DDDICB_ESCAPE*);
using PFND3DDDI_SETDISPLAYMODECB = HRESULT(APIENTRY*)(HANDLE hDevice, D3DDDICB_SETDISPLAYMODE*);

// ---------------------------------------------------------------------------
// D3DDDI_DEVICECALLBACKS: the runtime's device callback table, shared by the
// D3D9 (pCallbacks) and D3D10/11 (pKTCallbacks) device creation. It grew with
// every runtime; how much of it exists is told by the runtime's Version.

enum DeviceCallbackEntry : unsigned {
    kCbAllocate = 0,              // pfnAllocateCb
    kCbDeallocate = 1,            // pfnDeallocateCb
    kCbSetDisplayMode = 4,        // pfnSetDisplayModeCb
    kCbPresent = 5,               // pfnPresentCb
    kCbEscape = 9,                // pfnEscapeCb
    kCbCreateContext = 14,        // pfnCreateContextCb
    kCbSubmitCommand = 45,        // pfnSubmitCommandCb
    kCbDeallocate2 = 46,          // pfnDeallocate2Cb
    kDeviceCallbackCount = 55,    // entries of the largest table Brisel copies
};

struct D3DDDI_DEVICECALLBACKS : DdiTable<kDeviceCallbackCount> {};

// Bytes of D3DDDI_DEVICECALLBACKS a runtime of the given Version provides.
constexpr UINT DeviceCallbacksSizeForVersion(UINT version)
{
    if (version < 0x3004) return 88;
    if (version < 0x5002) return 116;
    if (version < 0x6003) return 200;
    return 220;
}

static_assert(sizeof(D3DDDICB_QUERYADAPTERINFO) == 8);
static_assert(sizeof(D3DDDI_ADAPTERCALLBACKS) == 8);
static_assert(sizeof(D3DDDI_ALLOCATIONINFO) == 24);
static_assert(offsetof(D3DDDI_ALLOCATIONINFO, VidPnSourceId) == 16);
static_assert(offsetof(D3DDDI_ALLOCATIONINFO, Flags) == 20);
static_assert(sizeof(D3DDDI_OPENALLOCATIONINFO) == 12);
static_assert(sizeof(D3DDDICB_ALLOCATE) == 24);
static_assert(offsetof(D3DDDICB_ALLOCATE, hKMResource) == 12);
static_assert(offsetof(D3DDDICB_ALLOCATE, pAllocationInfo) == 20);
static_assert(sizeof(D3DDDICB_DEALLOCATE2) == 16);
static_assert(sizeof(D3DDDICB_ESCAPE) == 20);
static_assert(offsetof(D3DDDICB_ESCAPE, pPrivateDriverData) == 8);
static_assert(sizeof(D3DDDICB_SETDISPLAYMODE) == 8);
static_assert(sizeof(D3DDDI_DEVICECALLBACKS) == 220);
static_assert(kCbSubmitCommand * sizeof(void*) < 200 && kCbDeallocate2 * sizeof(void*) < 200,
              "the wrapped entries exist from Version 0x5002 on");
