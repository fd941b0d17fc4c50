// The steps of capturing and releasing a tracked surface that the D3D9 and
// D3D10/11 resource wrappers share: the start of a tracked creation (the
// device begins recording allocations into its pending queue) and the release
// of a surface at resource destruction (ReleaseShadowBuffer for its recorded
// allocations, then the surface leaves the device). The API-specific parts
// (making and destroying the shadow resource) stay with the wrappers.
// Runs on the runtime's threads; takes the device's locks as DeviceRecord.h says.
#pragma once

#include "CaptureRecords.h"
#include "DeviceRecord.h"

namespace brisel {

// A tracked creation begins: capturingAllocations is set and the surface
// joins trackedSurfaces. The caller then purges the pending queue and calls
// the real creation.
void BeginSurfaceCapture(DeviceRecord& device, TrackedSurface* surface) noexcept;

// Takes the surface's allocations one by one: while the surface has a shadow
// buffer each is released with ReleaseShadowBuffer and deleted; without a
// buffer the first one taken is deleted and the rest stay for
// DestroyTrackedSurface.
void ReleaseSurfaceAllocations(DeviceRecord& device, TrackedSurface& surface) noexcept;

// Removes the surface from trackedSurfaces and destroys it (after the caller
// destroyed its shadow resource).
void DropTrackedSurface(DeviceRecord& device, TrackedSurface* surface) noexcept;

}  // namespace brisel
