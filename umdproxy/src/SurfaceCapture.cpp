// Shared capture and release steps of tracked surfaces. Runs on the runtime's
// threads; no lock is held while an escape is sent.
#include "SurfaceCapture.h"

#include "EscapeChannel.h"

namespace brisel {

void BeginSurfaceCapture(DeviceRecord& device, TrackedSurface* surface) noexcept
{
    device.BeginCapture(surface->runtimeResource);
    device.AddTrackedSurface(surface);
}

void ReleaseSurfaceAllocations(DeviceRecord& device, TrackedSurface& surface) noexcept
{
    while (AllocationRecord* allocation = surface.TakeFirstAllocation()) {
        if (!surface.bufferAddress) {
            delete allocation;
            break;
        }
        ReleaseShadowBuffer(device, surface, *allocation);
        delete allocation;
    }
}

void DropTrackedSurface(DeviceRecord& device, TrackedSurface* surface) noexcept
{
    if (!surface) return;
    device.RemoveTrackedSurface(surface);
    DestroyTrackedSurface(surface);
}

}  // namespace brisel
