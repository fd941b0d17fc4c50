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
    D3DKMT_HANDLE hAllocation;  // out: filled in by the runtime
    const VOID* pSystemMem;
    VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;
    UINT Flags;  // bit field union in the interface
};

// The WDDM 2.0 form of an allocation description (D3DDDICB_ALLOCATE's
// pAllocationInfo2, the same pointer as pAllocationInfo): the first 24 bytes
// are laid out as D3DDDI_ALLOCATIONINFO, then come the GPU virtual address
// the runtime returns, a priority and reserved words.
struct D3DDDI_ALLOCATIONINFO2 {
    D3DKMT_HANDLE hAllocation;  // out: filled in by the runtime
    const VOID* pSystemMem;  // union with hSection
    VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;
    UINT Flags;
    D3DGPU_VIRTUAL_ADDRESS GpuVirtualAddress;  // out
    UINT Priority;  // union with a pointer-sized word
    ULONG_PTR Reserved[5];
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
    D3DKMT_HANDLE hKMResource;  // out
    UINT NumAllocations;
    D3DDDI_ALLOCATIONINFO* pAllocationInfo;
};

struct D3DDDICB_DEALLOCATE2 {
    HANDLE hResource;
    UINT NumAllocations;
    const D3DKMT_HANDLE* HandleList;
    UINT Flags;  // D3DDDICB_DEALLOCATEFLAGS
};

struct D3DDDICB_ESCAPE {
    HANDLE hDevice;
    UINT Flags;  // D3DDDI_ESCAPEFLAGS
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
    kCbAllocate = 0,  // pfnAllocateCb
    kCbDeallocate = 1,  // pfnDeallocateCb
    kCbSetDisplayMode = 4,  // pfnSetDisplayModeCb
    kCbPresent = 5,  // pfnPresentCb
    kCbEscape = 9,  // pfnEscapeCb
    kCbCreateContext = 14,  // pfnCreateContextCb
    kCbSubmitCommand = 45,  // pfnSubmitCommandCb
    kCbDeallocate2 = 46,  // pfnDeallocate2Cb
    kCbReleaseResource = 54,  // pfnReleaseResourceCb
    kDeviceCallbackCount = 62,  // entries of the longest table Brisel copies
};

struct D3DDDI_DEVICECALLBACKS : DdiTable<kDeviceCallbackCount> {};

// User-mode interface versions (D3D_UMD_INTERFACE_VERSION_*, from the WDK's
// kernel/user shared type header). A D3D9 runtime passes one as Version.
constexpr UINT kUmdVersionWin7 = 0x2003;
constexpr UINT kUmdVersionWin8 = 0x3004;
constexpr UINT kUmdVersionWddm1_3 = 0x4002;
constexpr UINT kUmdVersionWddm2_0 = 0x5002;
constexpr UINT kUmdVersionWddm2_1_1 = 0x6000;
constexpr UINT kUmdVersionWddm2_1_2 = 0x6001;
constexpr UINT kUmdVersionWddm2_1_3 = 0x6002;
constexpr UINT kUmdVersionWddm2_1 = 0x6003;
constexpr UINT kUmdVersionWddm2_2_1 = 0x7000;
constexpr UINT kUmdVersionWddm2_2 = 0x7001;

// Entries of D3DDDI_DEVICECALLBACKS as the WDK's user-mode DDI header guards
// its members by D3D_UMD_INTERFACE_VERSION:
//
//   version            entries  bytes  members added at this version
//   below 0x3004         22      88    pfnAllocateCb .. pfnSetDisplayPrivateDriverFormatCb
//   0x3004 (Win 8)       28     112    offer/reclaim, sync objects 2, multiplane overlay present
//   0x4002 (WDDM 1.3)    29     116    pfnLogUMDMarkerCb
//   0x5002 (WDDM 2.0)    50     200    residency, GPU VA, paging queues .. pfnGetResourcePresentPrivateDriverDataCb
//   0x6000 (WDDM 2.1.1)  52     208    pfnUpdateAllocationPropertyCb, pfnOfferAllocations2Cb
//   0x6001 (WDDM 2.1.2)  54     216    pfnReclaimAllocations3Cb, pfnAcquireResourceCb
//   0x6002 (WDDM 2.1.3)  55     220    pfnReleaseResourceCb
//   0x7000 (WDDM 2.2.1)  62     248    hardware contexts and queues
//
// Later versions add more; Brisel never announces a version above 0x7001 to
// a driver it hands a copy to (callers cap the version first).
constexpr UINT DeviceCallbackEntriesForUmdVersion(UINT version)
{
    if (version >= kUmdVersionWddm2_2_1) return 62;
    if (version >= kUmdVersionWddm2_1_3) return 55;
    if (version >= kUmdVersionWddm2_1_2) return 54;
    if (version >= kUmdVersionWddm2_1_1) return 52;
    if (version >= kUmdVersionWddm2_0) return 50;
    if (version >= kUmdVersionWddm1_3) return 29;
    if (version >= kUmdVersionWin8) return 28;
    return 22;
}

// The header marks pAllocationInfo "WDDM v1" and pAllocationInfo2 "WDDM v2":
// the form is the driver model's. A runtime and driver that both know
// interface version WDDM 2.0 describe allocations in the second form; a
// WDDM 1.x driver keeps the first under any newer runtime.
constexpr bool AllocationInfo2ForUmdVersion(UINT version) { return version >= kUmdVersionWddm2_0; }

// The form of a D3D9 device: that of the lower of the version the driver is
// told and the one it reported as built for (DriverVersion of OpenAdapter).
constexpr bool D3d9AllocationInfo2(UINT shownVersion, UINT driverVersion)
{
    return AllocationInfo2ForUmdVersion(shownVersion < driverVersion ? shownVersion : driverVersion);
}

// Entry `index` of a D3DDDICB_ALLOCATE array in the form the device uses,
// seen through the fields both forms share.
inline D3DDDI_ALLOCATIONINFO* AllocationInfoEntry(const D3DDDICB_ALLOCATE& args, bool info2, UINT index)
{
    const std::size_t stride = info2 ? sizeof(D3DDDI_ALLOCATIONINFO2) : sizeof(D3DDDI_ALLOCATIONINFO);
    return reinterpret_cast<D3DDDI_ALLOCATIONINFO*>(reinterpret_cast<unsigned char*>(args.pAllocationInfo) +
                                                    stride * index);
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
static_assert(sizeof(D3DDDI_ALLOCATIONINFO2) == 56);
static_assert(offsetof(D3DDDI_ALLOCATIONINFO2, VidPnSourceId) == offsetof(D3DDDI_ALLOCATIONINFO, VidPnSourceId));
static_assert(offsetof(D3DDDI_ALLOCATIONINFO2, Flags) == offsetof(D3DDDI_ALLOCATIONINFO, Flags));
static_assert(offsetof(D3DDDI_ALLOCATIONINFO2, GpuVirtualAddress) == 24);
static_assert(sizeof(D3DDDI_DEVICECALLBACKS) == 248);
static_assert(DeviceCallbackEntriesForUmdVersion(kUmdVersionWddm2_2_1) == kDeviceCallbackCount);
static_assert(DeviceCallbackEntriesForUmdVersion(kUmdVersionWddm2_1_3) == kCbReleaseResource + 1);
static_assert(kCbSubmitCommand < 50 && kCbDeallocate2 < 50, "the wrapped entries exist from WDDM 2.0 on");
