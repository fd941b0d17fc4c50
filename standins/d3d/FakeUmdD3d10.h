// The fake vendor driver's D3D10/11 device (FakeUmdD3d10.cpp) and DXGI
// functions (FakeUmdDxgi.cpp), shared with the adapter entry points of
// FakeUmd.cpp. A device lives in the storage the runtime allocates for it
// (hDrvDevice); a resource is keyed by the storage the runtime (or Brisel,
// for its staging shadows) hands over as hDrvResource. Texture resources own
// real pixel memory (32-bit pixels), which staging maps, copies, Blts and
// presents read and write. Thread-safe per device (one critical section).
#pragma once

#include "FakeUmdDriver.h"
#include "ddi/D3d10Ddi.h"

namespace fakeumd10 {

constexpr unsigned kMaxResources = 64;
using fakeumd::kMaxAllocations;

struct FakeResource10 {
    void* storage;  // hDrvResource.pDrvPrivate: the key
    HANDLE runtimeHandle;
    UINT allocationCount;
    D3DKMT_HANDLE allocations[kMaxAllocations];
    BYTE opened;  // opened shared resource: its allocations are not ours to free
    UINT width;
    UINT height;
    UINT pitch;  // bytes per row of `pixels`
    BYTE* pixels;  // HeapAlloc'd, or null
};

struct FakeDevice10 {
    fakeumd::RuntimeDevice runtime;
    DXGI_DDI_BASE_CALLBACKS* dxgiCallbacks;  // the runtime's table, read at every present
    UINT iface;
    CRITICAL_SECTION lock;
    FakeResource10 resources[kMaxResources];
};

SIZE_T APIENTRY CalcPrivateDeviceSize(D3D10DDI_HADAPTER, const D3D10DDIARG_CALCPRIVATEDEVICESIZE*);
HRESULT APIENTRY CreateDevice(D3D10DDI_HADAPTER hAdapter, D3D10DDIARG_CREATEDEVICE* args);

// Records one call in fakeumd_state.dll with a copy of up to 64 argument bytes.
void Record10(int kind, void* in, void* out, UINT count, const void* args, UINT argBytes);

// First allocation of a resource (0 when unknown).
D3DKMT_HANDLE FirstAllocationOf(FakeDevice10* device, void* storage);
// Writes frame pixels (seed + y * 65536 + x) into a resource.
void RenderFrame(FakeDevice10* device, void* storage, UINT seed);
// Copies the overlapping rows and columns of src into dst (both resources);
// `right` and `bottom` bound the destination area when nonzero.
void CopyPixels(FakeDevice10* device, void* dst, void* src, UINT right, UINT bottom);

// Fills the DXGI function table of a device (FakeUmdDxgi.cpp).
void InstallDxgiFunctions(DXGI_DDI_BASE_FUNCTIONS* table, UINT bytes);

}  // namespace fakeumd10
