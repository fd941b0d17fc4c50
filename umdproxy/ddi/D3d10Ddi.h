// D3D10/11 and DXGI user-mode driver interface: the OpenAdapter10 and
// OpenAdapter10_2 entries, the adapter function tables, device creation, the
// device and DXGI function tables (by entry index) and the argument
// structures of the entries Brisel wraps or calls. 32-bit layouts, pinned by
// static_asserts. Thread-neutral (declarations only).
#pragma once

#include "DdiCommon.h"

// Handles of the D3D10 interface are one-pointer structures passed by value.
struct D3D10DDI_HRTADAPTER {
    VOID* handle;
};
struct D3D10DDI_HADAPTER {
    VOID* pDrvPrivate;
};
struct D3D10DDI_HRTDEVICE {
    VOID* handle;
};
struct D3D10DDI_HDEVICE {
    VOID* pDrvPrivate;
};
struct D3D10DDI_HRTRESOURCE {
    VOID* handle;
};
struct D3D10DDI_HRESOURCE {
    VOID* pDrvPrivate;
};
struct D3D10DDI_HRTCORELAYER {
    VOID* handle;
};

struct D3D10DDIARG_CREATEDEVICE;
struct D3D10DDIARG_CALCPRIVATEDEVICESIZE;
struct D3D10_2DDIARG_GETCAPS;

using PFND3D10DDI_CALCPRIVATEDEVICESIZE = SIZE_T(APIENTRY*)(D3D10DDI_HADAPTER,
                                                            const D3D10DDIARG_CALCPRIVATEDEVICESIZE*);
using PFND3D10DDI_CREATEDEVICE = HRESULT(APIENTRY*)(D3D10DDI_HADAPTER, D3D10DDIARG_CREATEDEVICE*);
using PFND3D10DDI_CLOSEADAPTER = HRESULT(APIENTRY*)(D3D10DDI_HADAPTER);
using PFND3D10_2DDI_GETSUPPORTEDVERSIONS = HRESULT(APIENTRY*)(D3D10DDI_HADAPTER, UINT32* puEntries, UINT64* pVersions);
using PFND3D10_2DDI_GETCAPS = HRESULT(APIENTRY*)(D3D10DDI_HADAPTER, const D3D10_2DDIARG_GETCAPS*);

struct D3D10DDI_ADAPTERFUNCS {
    PFND3D10DDI_CALCPRIVATEDEVICESIZE pfnCalcPrivateDeviceSize;
    PFND3D10DDI_CREATEDEVICE pfnCreateDevice;
    PFND3D10DDI_CLOSEADAPTER pfnCloseAdapter;
};

struct D3D10_2DDI_ADAPTERFUNCS {
    PFND3D10DDI_CALCPRIVATEDEVICESIZE pfnCalcPrivateDeviceSize;
    PFND3D10DDI_CREATEDEVICE pfnCreateDevice;
    PFND3D10DDI_CLOSEADAPTER pfnCloseAdapter;
    PFND3D10_2DDI_GETSUPPORTEDVERSIONS pfnGetSupportedVersions;
    PFND3D10_2DDI_GETCAPS pfnGetCaps;
};

struct D3D10DDIARG_OPENADAPTER {
    D3D10DDI_HRTADAPTER hRTAdapter;
    D3D10DDI_HADAPTER hAdapter;  // out
    UINT Interface;  // major << 16 | minor
    UINT Version;
    const D3DDDI_ADAPTERCALLBACKS* pAdapterCallbacks;
    union {
        D3D10DDI_ADAPTERFUNCS* pAdapterFuncs;  // out (OpenAdapter10)
        D3D10_2DDI_ADAPTERFUNCS* pAdapterFuncs_2;  // out (OpenAdapter10_2)
    };
};

using PFND3D10DDI_OPENADAPTER = HRESULT(APIENTRY*)(D3D10DDIARG_OPENADAPTER*);

constexpr UINT InterfaceMajor(UINT iface) { return iface >> 16; }
constexpr UINT InterfaceMinor(UINT iface) { return iface & 0xFFFF; }

// What a D3D10/11 runtime's device callback table holds follows from the
// Interface it agreed on with the driver, not from Version: the published
// description of D3D10DDIARG_CREATEDEVICE (and of the interface versioning)
// gives Version as the runtime's DDI build number in its high 16 bits and a
// revision in its low 16 bits (the Vista runtime passes 4 << 16 | 6000).
// The interface minor numbers are those of the WDK's D3D10/11 DDI header;
// each is mapped to the user-mode interface version of its Windows release:
//
//   Interface                 release     user-mode version   callback entries
//   10.x, 11.0 .. 11.14       Vista, 7    0x2003               22
//   11.15 (D3D11.1)           Win 8       0x3004               28
//   11.16 .. 11.31 (1.3)      Win 8.1     0x4002               29
//   11.32, 11.33 (WDDM 2.0)   Win 10      0x5002               50
//   11.34 (WDDM 2.1)          1607        0x6003               55
//   11.35 (WDDM 2.2)          1703        0x7001               62
//
// 11.14 was the Windows 8 release candidate's interface, older than the
// guard of the Windows 8 members; the shorter table is the one that cannot
// be read past. An Interface newer than 11.35 gives 0: its table is not
// known here.
constexpr UINT UmdVersionForD3d10Interface(UINT iface)
{
    if (InterfaceMajor(iface) < 11) return kUmdVersionWin7;
    if (InterfaceMajor(iface) > 11) return 0;
    const UINT minor = InterfaceMinor(iface);
    if (minor < 15) return kUmdVersionWin7;
    if (minor == 15) return kUmdVersionWin8;
    if (minor < 32) return kUmdVersionWddm1_3;
    if (minor < 34) return kUmdVersionWddm2_0;
    if (minor == 34) return kUmdVersionWddm2_1;
    if (minor == 35) return kUmdVersionWddm2_2;
    return 0;
}

// ---------------------------------------------------------------------------
// Device function tables (D3D10DDI_DEVICEFUNCS and its later versions).

enum D3d10DeviceFuncEntry : unsigned {
    kD3d10StagingResourceMap = 24,
    kD3d10StagingResourceUnmap = 25,
    kD3d10Flush = 48,
    kD3d10ResourceCopy = 50,
    kD3d10CalcPrivateResourceSize = 56,
    kD3d10CreateResource = 58,
    kD3d10OpenResource = 59,
    kD3d10DestroyResource = 60,
    kD3d10DestroyDevice = 99,
    kD3d10DeviceFuncCount = 170,  // entries of the largest table copied
};

struct D3D10DDI_DEVICEFUNCS : DdiTable<kD3d10DeviceFuncCount> {};

// DXGI_DDI_BASE_FUNCTIONS and its later versions.
enum DxgiFuncEntry : unsigned {
    kDxgiPresent = 0,
    kDxgiGetGammaCaps = 1,
    kDxgiSetDisplayMode = 2,
    kDxgiBlt = 6,
    kDxgiPresent1 = 16,
    kDxgiFuncCount = 22,
};

struct DXGI_DDI_BASE_FUNCTIONS : DdiTable<kDxgiFuncCount> {};

// DXGI_DDI_BASE_CALLBACKS.
enum DxgiCallbackEntry : unsigned {
    kDxgiCbPresent = 0,
    kDxgiCallbackCount = 1,
};

struct DXGI_DDI_BASE_CALLBACKS : DdiTable<kDxgiCallbackCount> {};

struct DXGI_DDI_BASE_ARGS {
    DXGI_DDI_BASE_CALLBACKS* pDXGIBaseCallbacks;
    DXGI_DDI_BASE_FUNCTIONS* pDXGIDDIBaseFunctions;
};

// Resource-creation form and table sizes chosen by the device's Interface.
// d3d11Form selects how the staging shadow is described (format 87, 2-D
// dimension, mapped address kept); createResourceBytes is how much of the
// runtime's creation argument exists and may be copied.
struct D3d10InterfaceLayout {
    bool d3d11Form;
    UINT deviceFuncsBytes;
    UINT dxgiFuncsBytes;
    UINT createResourceBytes;  // 52: D3D10DDIARG_CREATERESOURCE, 64: D3D11DDIARG_CREATERESOURCE
};

// The 10.1 interfaces (major 10 from 0xA0002) keep the D3D11 shadow form but
// their tables are the published 10.1 ones: D3D10_1DDI_DEVICEFUNCS is the
// 101 entries of D3D10DDI_DEVICEFUNCS plus pfnResourceConvert and
// pfnResourceConvertRegion (103 entries, 412 bytes), the DXGI table is
// DXGI_DDI_BASE_FUNCTIONS (7 entries, 28 bytes; the only one every 10.1
// runtime hands over) and resources are created with the 52-byte
// D3D10DDIARG_CREATERESOURCE (D3D11DDIARG_CREATERESOURCE exists from major 11).
constexpr D3d10InterfaceLayout D3d10LayoutForInterface(UINT iface)
{
    if (iface >= 0xB0022) return {true, 680, 88, 64};
    if (iface >= 0xB0020) return {true, 672, 84, 64};
    if (iface >= 0xB0010) return {true, 656, 72, 64};
    if (iface >= 0xB000E) return {true, 620, 60, 64};
    if (iface >= 0xB0000) return {true, 600, 32, 64};
    if (iface >= 0xA0002) return {true, 412, 28, 52};
    return {false, 404, 28, 52};
}

struct D3D10DDIARG_CREATEDEVICE {
    D3D10DDI_HRTDEVICE hRTDevice;
    UINT Interface;
    UINT Version;
    const D3DDDI_DEVICECALLBACKS* pKTCallbacks;
    D3D10DDI_DEVICEFUNCS* pDeviceFuncs;  // union of every device-function table version
    D3D10DDI_HDEVICE hDrvDevice;  // runtime-allocated driver storage
    DXGI_DDI_BASE_ARGS DXGIBaseDDI;
    D3D10DDI_HRTCORELAYER hRTCoreLayer;
    const VOID* pUMCallbacks;
    UINT Flags;
};

using PFND3D10DDI_DESTROYDEVICE = void(APIENTRY*)(D3D10DDI_HDEVICE);

// ---------------------------------------------------------------------------
// Resource arguments (the D3D10 52-byte and D3D11 64-byte creation forms).

struct D3D10DDI_MIPINFO {
    UINT TexelWidth;
    UINT TexelHeight;
    UINT TexelDepth;
    UINT PhysicalWidth;
    UINT PhysicalHeight;
    UINT PhysicalDepth;
};

struct DXGI_DDI_RATIONAL {
    UINT Numerator;
    UINT Denominator;
};

struct DXGI_DDI_MODE_DESC {
    UINT Width;
    UINT Height;
    UINT Format;  // DXGI_FORMAT
    DXGI_DDI_RATIONAL RefreshRate;
    UINT ScanlineOrdering;
    UINT Rotation;
    UINT Scaling;
};

struct DXGI_DDI_PRIMARY_DESC {
    UINT Flags;
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;
    DXGI_DDI_MODE_DESC ModeDesc;
    UINT DriverFlags;
};

struct DXGI_SAMPLE_DESC_DDI {
    UINT Count;
    UINT Quality;
};

constexpr UINT kD3d10BindPresentable = 0x80;
constexpr UINT kD3d10UsageStaging = 3;
constexpr UINT kD3d10ResourceTexture2D = 3;
constexpr UINT kDxgiFormatB8G8R8A8Unorm = 87;
constexpr UINT kDxgiFormatB8G8R8X8Unorm = 88;

struct D3D10DDIARG_CREATERESOURCE {
    const D3D10DDI_MIPINFO* pMipInfoList;
    const VOID* pInitialDataUP;
    UINT ResourceDimension;
    UINT Usage;
    UINT BindFlags;
    UINT MapFlags;
    UINT MiscFlags;
    UINT Format;
    DXGI_SAMPLE_DESC_DDI SampleDesc;
    UINT MipLevels;
    UINT ArraySize;
    DXGI_DDI_PRIMARY_DESC* pPrimaryDesc;
};

struct D3D11DDIARG_CREATERESOURCE {
    const D3D10DDI_MIPINFO* pMipInfoList;
    const VOID* pInitialDataUP;
    UINT ResourceDimension;
    UINT Usage;
    UINT BindFlags;
    UINT MapFlags;
    UINT MiscFlags;
    UINT Format;
    DXGI_SAMPLE_DESC_DDI SampleDesc;
    UINT MipLevels;
    UINT ArraySize;
    DXGI_DDI_PRIMARY_DESC* pPrimaryDesc;
    UINT ByteStride;
    UINT DecoderBufferType;
    UINT TextureLayout;
};

struct D3D10DDIARG_OPENRESOURCE {
    UINT NumAllocations;
    D3DDDI_OPENALLOCATIONINFO* pOpenAllocationInfo;
    D3DKMT_HANDLE hKMResource;
    VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
};

struct D3D10DDI_MAPPED_SUBRESOURCE {
    VOID* pData;
    UINT RowPitch;
    UINT DepthPitch;
};

// Device functions the capture calls or wraps (D3D11 forms take the 64-byte
// creation argument; pfnFlush gained a flags argument with Interface 0xB000F).
using PFND3D10DDI_CREATERESOURCE = void(APIENTRY*)(D3D10DDI_HDEVICE, const D3D10DDIARG_CREATERESOURCE*,
                                                   D3D10DDI_HRESOURCE, D3D10DDI_HRTRESOURCE);
using PFND3D11DDI_CREATERESOURCE = void(APIENTRY*)(D3D10DDI_HDEVICE, const D3D11DDIARG_CREATERESOURCE*,
                                                   D3D10DDI_HRESOURCE, D3D10DDI_HRTRESOURCE);
using PFND3D10DDI_CALCPRIVATERESOURCESIZE = SIZE_T(APIENTRY*)(D3D10DDI_HDEVICE, const D3D10DDIARG_CREATERESOURCE*);
using PFND3D11DDI_CALCPRIVATERESOURCESIZE = SIZE_T(APIENTRY*)(D3D10DDI_HDEVICE, const D3D11DDIARG_CREATERESOURCE*);
using PFND3D10DDI_OPENRESOURCE = void(APIENTRY*)(D3D10DDI_HDEVICE, const D3D10DDIARG_OPENRESOURCE*, D3D10DDI_HRESOURCE,
                                                 D3D10DDI_HRTRESOURCE);
using PFND3D10DDI_DESTROYRESOURCE = void(APIENTRY*)(D3D10DDI_HDEVICE, D3D10DDI_HRESOURCE);
using PFND3D10DDI_STAGINGRESOURCEMAP = void(APIENTRY*)(D3D10DDI_HDEVICE, D3D10DDI_HRESOURCE, UINT subresource,
                                                       UINT mapType, UINT mapFlags, D3D10DDI_MAPPED_SUBRESOURCE*);
using PFND3D10DDI_STAGINGRESOURCEUNMAP = void(APIENTRY*)(D3D10DDI_HDEVICE, D3D10DDI_HRESOURCE, UINT subresource);
using PFND3D10DDI_FLUSH = void(APIENTRY*)(D3D10DDI_HDEVICE);
using PFND3D11_1DDI_FLUSH = void(APIENTRY*)(D3D10DDI_HDEVICE, UINT flushFlags);
using PFND3D10DDI_RESOURCECOPY = void(APIENTRY*)(D3D10DDI_HDEVICE, D3D10DDI_HRESOURCE dst, D3D10DDI_HRESOURCE src);

constexpr UINT kD3d10MapRead = 1;
constexpr UINT kD3d11FlushTakesFlagsFrom = 0xB000F;

// ---------------------------------------------------------------------------
// DXGI arguments.

constexpr UINT kDxgiPresentBlt = 0x1;
constexpr UINT kDxgiPresentFlip = 0x2;

struct DXGI_DDI_ARG_PRESENT {
    D3D10DDI_HDEVICE hDevice;
    D3D10DDI_HRESOURCE hSurfaceToPresent;
    UINT SrcSubResourceIndex;
    D3D10DDI_HRESOURCE hDstResource;
    UINT DstSubResourceIndex;
    VOID* pDXGIContext;
    UINT Flags;  // DXGI_DDI_PRESENT_FLAGS
    UINT FlipInterval;
};

// DXGI_DDI_ARG_PRESENT1 (pfnPresent1, DXGI tables of 72 bytes and more):
// only the members up to Flags are read; later ones stay the runtime's.
struct DXGI_DDI_ARG_PRESENTSURFACE {
    D3D10DDI_HRESOURCE hSurface;
    UINT SubResourceIndex;
};

struct DXGI_DDI_ARG_PRESENT1 {
    D3D10DDI_HDEVICE hDevice;
    const DXGI_DDI_ARG_PRESENTSURFACE* phSurfacesToPresent;
    UINT SurfacesToPresent;
    D3D10DDI_HRESOURCE hDstResource;
    UINT DstSubResourceIndex;
    VOID* pDXGIContext;
    UINT Flags;  // DXGI_DDI_PRESENT_FLAGS
    UINT FlipInterval;
    UINT Reserved;
    const RECT* pDirtyRects;
    UINT DirtyRects;
    UINT BackBufferMultiplicity;
};

struct DXGI_DDI_ARG_SETDISPLAYMODE {
    D3D10DDI_HDEVICE hDevice;
    D3D10DDI_HRESOURCE hResource;
    UINT SubResourceIndex;
};

struct DXGI_DDI_ARG_BLT {
    D3D10DDI_HDEVICE hDevice;
    D3D10DDI_HRESOURCE hDstResource;
    UINT DstSubresource;
    UINT DstLeft;
    UINT DstTop;
    UINT DstRight;
    UINT DstBottom;
    D3D10DDI_HRESOURCE hSrcResource;
    UINT SrcSubresource;
    UINT Flags;  // DXGI_DDI_ARG_BLT_FLAGS
    UINT Rotate;
};

// The leading members of the present callback's argument; later runtimes
// append more. Brisel reads and rewrites pDXGIContext through the driver's
// pointer and never copies the structure.
struct DXGIDDICB_PRESENT {
    D3DKMT_HANDLE hSrcAllocation;
    D3DKMT_HANDLE hDstAllocation;
    VOID* pDXGIContext;
    HANDLE hContext;
    UINT BroadcastContextCount;
    HANDLE BroadcastContext[64];
};

using PFNDDXGIDDI_PRESENTCB = HRESULT(APIENTRY*)(HANDLE hDevice, DXGIDDICB_PRESENT*);
using PFNDXGIDDI_PRESENT = HRESULT(APIENTRY*)(DXGI_DDI_ARG_PRESENT*);
using PFNDXGIDDI_SETDISPLAYMODE = HRESULT(APIENTRY*)(DXGI_DDI_ARG_SETDISPLAYMODE*);
using PFNDXGIDDI_BLT = HRESULT(APIENTRY*)(DXGI_DDI_ARG_BLT*);
using PFNDXGIDDI_PRESENT1 = HRESULT(APIENTRY*)(DXGI_DDI_ARG_PRESENT1*);

static_assert(sizeof(D3D10DDI_HADAPTER) == 4);
static_assert(sizeof(D3D10DDI_ADAPTERFUNCS) == 12);
static_assert(sizeof(D3D10_2DDI_ADAPTERFUNCS) == 20);
static_assert(sizeof(D3D10DDIARG_OPENADAPTER) == 24);
static_assert(offsetof(D3D10DDIARG_OPENADAPTER, pAdapterCallbacks) == 16);
static_assert(offsetof(D3D10DDIARG_OPENADAPTER, pAdapterFuncs) == 20);
static_assert(sizeof(D3D10DDI_DEVICEFUNCS) == 680);
static_assert(sizeof(DXGI_DDI_BASE_FUNCTIONS) == 88);
static_assert(offsetof(D3D10DDIARG_CREATEDEVICE, pKTCallbacks) == 12);
static_assert(offsetof(D3D10DDIARG_CREATEDEVICE, hDrvDevice) == 20);
static_assert(offsetof(D3D10DDIARG_CREATEDEVICE, DXGIBaseDDI) == 24);
static_assert(sizeof(D3D10DDIARG_CREATEDEVICE) == 44);
static_assert(sizeof(D3D10DDI_MIPINFO) == 24);
static_assert(sizeof(DXGI_DDI_PRIMARY_DESC) == 44);
static_assert(sizeof(D3D10DDIARG_CREATERESOURCE) == 52);
static_assert(sizeof(D3D11DDIARG_CREATERESOURCE) == 64);
static_assert(offsetof(D3D11DDIARG_CREATERESOURCE, pPrimaryDesc) == offsetof(D3D10DDIARG_CREATERESOURCE, pPrimaryDesc));
static_assert(sizeof(D3D10DDIARG_OPENRESOURCE) == 20);
static_assert(sizeof(DXGI_DDI_ARG_PRESENT) == 32);
static_assert(offsetof(DXGI_DDI_ARG_PRESENT, pDXGIContext) == 20);
static_assert(sizeof(DXGI_DDI_ARG_BLT) == 44);
static_assert(offsetof(DXGIDDICB_PRESENT, pDXGIContext) == 8);
static_assert(sizeof(DXGI_DDI_ARG_PRESENTSURFACE) == 8);
static_assert(offsetof(DXGI_DDI_ARG_PRESENT1, hDstResource) == 12);
static_assert(offsetof(DXGI_DDI_ARG_PRESENT1, pDXGIContext) == 20);
static_assert(offsetof(DXGI_DDI_ARG_PRESENT1, Flags) == 24);
static_assert(sizeof(DXGI_DDI_ARG_PRESENT1) == 48);
static_assert(D3d10LayoutForInterface(0xA0002).createResourceBytes == sizeof(D3D10DDIARG_CREATERESOURCE));
static_assert(D3d10LayoutForInterface(0xB0000).createResourceBytes == sizeof(D3D11DDIARG_CREATERESOURCE));
