// The resource wrappers of a D3D9 device: creation (pfnCreateResource and
// pfnCreateResource2) recognises render targets that are presented to a
// display, records their allocations, registers a system-memory shadow
// buffer for each with the kernel-mode display driver and creates a shadow
// surface over it; opening (pfnOpenResource) does the same for fullscreen
// shared surfaces a compositor opens; destruction releases what the capture
// holds before the real driver destroys the resource.
//
// Capture failures (no record, no buffer, a failed escape or shadow) only
// reduce capture: the application always gets the real driver's result.
// Runs on the runtime's threads. Locks: the device's tracked and pending
// locks as DeviceRecord.h says; the creation path sends RegisterShadowBuffer
// while it holds the pending lock; no lock is held while the real driver runs.
#pragma once

#include "D3d9DeviceRecord.h"

namespace brisel {

// Flags tests of the capture (D3DDDI_RESOURCEFLAGS).
constexpr UINT kD3d9VideoRenderTarget = kD3d9ResRenderTarget | kD3d9ResVideo;
constexpr UINT kD3d9PrimaryRenderTarget = kD3d9ResRenderTarget | kD3d9ResPrimary;
constexpr UINT kD3d9NotLockableRenderTarget = kD3d9ResRenderTarget | kD3d9ResNotLockable;
constexpr UINT kD3d9SharedRenderTarget = kD3d9ResRenderTarget | kD3d9ResSharedResource;
constexpr UINT kD3d9PrimaryMatchingGdi = kD3d9ResPrimary | kD3d9ResMatchGdiPrimary;
// Both sides of a tracked surface must exceed this many pixels.
constexpr UINT kD3d9MinTrackedSide = 100;

// Whether a creation with these flags and first-surface size is captured
// (`isDwm`: the host is the compositor).
bool IsD3d9TrackedCreation(UINT flags, UINT width, UINT height, bool isDwm) noexcept;

// Entries 37 and 128.
HRESULT APIENTRY D3d9CreateResourceWrapper(HANDLE hDevice, D3DDDIARG_CREATERESOURCE* pArgs);
HRESULT APIENTRY D3d9CreateResource2Wrapper(HANDLE hDevice, D3DDDIARG_CREATERESOURCE2* pArgs);
// Entry 93.
HRESULT APIENTRY D3d9OpenResourceWrapper(HANDLE hDevice, D3DDDIARG_OPENRESOURCE* pArgs);
// Entry 38.
HRESULT APIENTRY D3d9DestroyResourceWrapper(HANDLE hDevice, HANDLE hResource);

}  // namespace brisel
