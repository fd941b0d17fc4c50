// D3D9 user-mode driver interface: the OpenAdapter entry, the adapter and
// device function tables and the argument structures of the device functions
// that Brisel wraps or calls. 32-bit layouts, pinned by static_asserts.
// Thread-neutral (declarations only).
#pragma once

#include "DdiCommon.h"

struct D3DDDIARG_CREATEDEVICE;
struct D3DDDIARG_GETCAPS;

using PFND3DDDI_GETCAPS = HRESULT(APIENTRY*)(HANDLE hAdapter, const D3DDDIARG_GETCAPS*);
using PFND3DDDI_CREATEDEVICE = HRESULT(APIENTRY*)(HANDLE hAdapter, D3DDDIARG_CREATEDEVICE*);
using PFND3DDDI_CLOSEADAPTER = HRESULT(APIENTRY*)(HANDLE hAdapter);

struct D3DDDI_ADAPTERFUNCS {
    PFND3DDDI_GETCAPS pfnGetCaps;
    PFND3DDDI_CREATEDEVICE pfnCreateDevice;
    PFND3DDDI_CLOSEADAPTER pfnCloseAdapter;
};

struct D3DDDIARG_OPENADAPTER {
    HANDLE hAdapter;  // in: runtime handle, out: driver handle
    UINT Interface;
    UINT Version;
    const D3DDDI_ADAPTERCALLBACKS* pAdapterCallbacks;
    D3DDDI_ADAPTERFUNCS* pAdapterFuncs;  // out (the table is the runtime's)
    UINT DriverVersion;  // out
};

using PFND3DDDI_OPENADAPTER = HRESULT(APIENTRY*)(D3DDDIARG_OPENADAPTER*);

// Highest D3D9 runtime Version the real driver is shown.
constexpr UINT kD3d9MaxRuntimeVersion = 0x6003;

// ---------------------------------------------------------------------------
// D3DDDI_DEVICEFUNCS, addressed by entry index.

enum D3d9DeviceFuncEntry : unsigned {
    kD3d9CreateResource = 37,
    kD3d9DestroyResource = 38,
    kD3d9SetDisplayMode = 39,
    kD3d9Present = 40,
    kD3d9Blt = 55,
    kD3d9DestroyDevice = 91,
    kD3d9OpenResource = 93,
    kD3d9CheckDirectFlipSupport = 127,
    kD3d9CreateResource2 = 128,
    kD3d9Present1 = 136,
    kD3d9DeviceFuncCount = 143,  // entries of the largest table copied
};

struct D3DDDI_DEVICEFUNCS : DdiTable<kD3d9DeviceFuncCount> {};

// Bytes of D3DDDI_DEVICEFUNCS present for a runtime of the given Version.
constexpr UINT D3d9DeviceFuncsSizeForVersion(UINT version)
{
    if (version < 0x2003) return 396;
    if (version < 0x3004) return 484;
    if (version < 0x4002) return 524;
    if (version < 0x5002) return 560;
    if (version < 0x6001) return 564;
    return 572;
}

struct D3DDDIARG_CREATEDEVICE {
    HANDLE hDevice;  // in: runtime handle, out: driver handle
    UINT Interface;
    UINT Version;
    const D3DDDI_DEVICECALLBACKS* pCallbacks;
    VOID* pCommandBuffer;
    UINT CommandBufferSize;
    VOID* pAllocationList;
    UINT AllocationListSize;
    VOID* pPatchLocationList;
    UINT PatchLocationListSize;
    D3DDDI_DEVICEFUNCS* pDeviceFuncs;  // out (the table is the runtime's)
    UINT Flags;  // D3DDDI_CREATEDEVICEFLAGS
    D3DGPU_VIRTUAL_ADDRESS CommandBuffer;  // only in runtimes of the GPU-VA era
};

// Runtimes before the GPU-virtual-address member pass the structure without it.
constexpr std::size_t kD3d9CreateDeviceBaseSize = 48;

using PFND3DDDI_DESTROYDEVICE = HRESULT(APIENTRY*)(HANDLE hDevice);

// ---------------------------------------------------------------------------
// Device-function arguments used by the D3D9 capture.

// D3DDDI_RESOURCEFLAGS bits the capture tests.
constexpr UINT kD3d9ResRenderTarget = 0x1;
constexpr UINT kD3d9ResNotLockable = 0x80;
constexpr UINT kD3d9ResSharedResource = 0x800;
constexpr UINT kD3d9ResDiscardRenderTarget = 0x1000;
constexpr UINT kD3d9ResVideo = 0x2000;
constexpr UINT kD3d9ResPrimary = 0x8000;
constexpr UINT kD3d9ResCpuOptimized = 0x01000000;
constexpr UINT kD3d9ResMatchGdiPrimary = 0x08000000;

constexpr UINT kD3d9PoolSystemMem = 1;
constexpr UINT kD3d9RotationIdentity = 1;
constexpr UINT kD3d9FormatX8R8G8B8 = 22;

struct D3DDDI_SURFACEINFO {
    UINT Width;
    UINT Height;
    UINT Depth;
    const VOID* pSysMem;
    UINT SysMemPitch;
    UINT SysMemSlicePitch;
};

struct D3DDDIARG_CREATERESOURCE {
    UINT Format;  // D3DDDIFORMAT
    UINT Pool;
    UINT MultisampleType;
    UINT MultisampleQuality;
    const D3DDDI_SURFACEINFO* pSurfList;
    UINT SurfCount;
    UINT MipLevels;
    UINT Fvf;
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;
    D3DDDI_RATIONAL RefreshRate;
    HANDLE hResource;  // in: runtime handle, out: driver handle
    UINT Flags;  // D3DDDI_RESOURCEFLAGS
    UINT Rotation;
};

struct D3DDDIARG_CREATERESOURCE2 {
    UINT Format;
    UINT Pool;
    UINT MultisampleType;
    UINT MultisampleQuality;
    const D3DDDI_SURFACEINFO* pSurfList;
    UINT SurfCount;
    UINT MipLevels;
    UINT Fvf;
    D3DDDI_VIDEO_PRESENT_SOURCE_ID VidPnSourceId;
    D3DDDI_RATIONAL RefreshRate;
    HANDLE hResource;
    UINT Flags;
    UINT Rotation;
    UINT Flags2;  // D3DDDI_RESOURCEFLAGS2
};

constexpr UINT kD3d9OpenFullscreen = 0x1;  // D3DDDI_OPENRESOURCEFLAGS bit 0

struct D3DDDIARG_OPENRESOURCE {
    UINT NumAllocations;
    D3DDDI_OPENALLOCATIONINFO* pOpenAllocationInfo;
    D3DKMT_HANDLE hKMResource;
    VOID* pPrivateDriverData;
    UINT PrivateDriverDataSize;
    HANDLE hResource;  // in: runtime handle, out: driver handle
    UINT Rotation;
    UINT Flags;  // D3DDDI_OPENRESOURCEFLAGS
};

// D3DDDI_PRESENTFLAGS bits.
constexpr UINT kD3d9PresentBlt = 0x1;
constexpr UINT kD3d9PresentFlip = 0x4;

struct D3DDDIARG_PRESENT {
    HANDLE hSrcResource;
    UINT SrcSubResourceIndex;
    HANDLE hDstResource;
    UINT DstSubResourceIndex;
    UINT Flags;  // D3DDDI_PRESENTFLAGS
    UINT FlipInterval;
};

struct D3DDDIARG_PRESENTSURFACE {
    HANDLE hSurface;
    UINT SubResourceIndex;
};

// Later runtimes append BackBufferMultiplicity; Brisel only reads the members
// below through the runtime's pointer and never copies the structure.
struct D3DDDIARG_PRESENT1 {
    const D3DDDIARG_PRESENTSURFACE* phSrcResources;
    UINT SrcResources;
    HANDLE hDstResource;
    UINT DstSubResourceIndex;
    UINT Flags;
    UINT FlipInterval;
    UINT Reserved;
    const RECT* pDirtyRects;
    UINT DirtyRects;
};

struct D3DDDIARG_BLT {
    HANDLE hSrcResource;
    UINT SrcSubResourceIndex;
    RECT SrcRect;
    HANDLE hDstResource;
    UINT DstSubResourceIndex;
    RECT DstRect;
    UINT Flags;  // D3DDDIARG_BLT_FLAGS
    DWORD ColorKey;
};

struct D3DDDIARG_SETDISPLAYMODE {
    HANDLE hResource;
    UINT SubResourceIndex;
};

struct D3DDDIARG_CHECKDIRECTFLIPSUPPORT {
    HANDLE hAppSwapchainResource;
    HANDLE hDWMSwapchainResource;
    UINT CheckDirectFlipFlags;
    BOOL Supported;  // out
};

using PFND3DDDI_CREATERESOURCE = HRESULT(APIENTRY*)(HANDLE hDevice, D3DDDIARG_CREATERESOURCE*);
using PFND3DDDI_CREATERESOURCE2 = HRESULT(APIENTRY*)(HANDLE hDevice, D3DDDIARG_CREATERESOURCE2*);
using PFND3DDDI_DESTROYRESOURCE = HRESULT(APIENTRY*)(HANDLE hDevice, HANDLE hResource);
using PFND3DDDI_OPENRESOURCE = HRESULT(APIENTRY*)(HANDLE hDevice, D3DDDIARG_OPENRESOURCE*);
using PFND3DDDI_PRESENT = HRESULT(APIENTRY*)(HANDLE hDevice, const D3DDDIARG_PRESENT*);
using PFND3DDDI_PRESENT1 = HRESULT(APIENTRY*)(HANDLE hDevice, const D3DDDIARG_PRESENT1*);
using PFND3DDDI_BLT = HRESULT(APIENTRY*)(HANDLE hDevice, const D3DDDIARG_BLT*);
using PFND3DDDI_SETDISPLAYMODE = HRESULT(APIENTRY*)(HANDLE hDevice, const D3DDDIARG_SETDISPLAYMODE*);
using PFND3DDDI_CHECKDIRECTFLIPSUPPORT = HRESULT(APIENTRY*)(HANDLE hDevice, D3DDDIARG_CHECKDIRECTFLIPSUPPORT*);

static_assert(sizeof(D3DDDI_ADAPTERFUNCS) == 12);
static_assert(sizeof(D3DDDIARG_OPENADAPTER) == 24);
static_assert(offsetof(D3DDDIARG_OPENADAPTER, pAdapterFuncs) == 16);
static_assert(offsetof(D3DDDIARG_OPENADAPTER, DriverVersion) == 20);
static_assert(sizeof(D3DDDI_DEVICEFUNCS) == 572);
static_assert(offsetof(D3DDDIARG_CREATEDEVICE, pCallbacks) == 12);
static_assert(offsetof(D3DDDIARG_CREATEDEVICE, pDeviceFuncs) == 40);
static_assert(offsetof(D3DDDIARG_CREATEDEVICE, Flags) == kD3d9CreateDeviceBaseSize - 4);
static_assert(sizeof(D3DDDI_SURFACEINFO) == 24);
static_assert(sizeof(D3DDDIARG_CREATERESOURCE) == 56);
static_assert(offsetof(D3DDDIARG_CREATERESOURCE, hResource) == 44);
static_assert(offsetof(D3DDDIARG_CREATERESOURCE, Flags) == 48);
static_assert(sizeof(D3DDDIARG_CREATERESOURCE2) == 60);
static_assert(sizeof(D3DDDIARG_OPENRESOURCE) == 32);
static_assert(offsetof(D3DDDIARG_OPENRESOURCE, hResource) == 20);
static_assert(sizeof(D3DDDIARG_PRESENT) == 24);
static_assert(sizeof(D3DDDIARG_BLT) == 56);
static_assert(sizeof(D3DDDIARG_SETDISPLAYMODE) == 8);
static_assert(offsetof(D3DDDIARG_CHECKDIRECTFLIPSUPPORT, Supported) == 12);
