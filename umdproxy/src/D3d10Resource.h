// D3D10/11 resource wrapping: the device-function wrappers of resource
// creation (both argument forms), opening and destruction, the finishing of a
// created tracked surface (allocation info, CPU-mapped staging shadow,
// RegisterShadowBuffer), the NVIDIA primary paths with their bracketing
// escapes, and the shadow of an opened shared surface made at its first flip.
// Runs on the runtime's threads (and, for the opened-surface shadow, inside
// the real driver's present on its threads); no lock is held while the real
// driver or the kernel-mode driver is called.
#pragma once

#include "D3d10DeviceRecord.h"

namespace brisel {

// Device-function entry 58, one per argument form; the form installed is the
// one of the device's Interface (D3d10InterfaceLayout::createResourceBytes).
void APIENTRY D3d10CreateResourceWrapper(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_CREATERESOURCE* pArgs,
                                         D3D10DDI_HRESOURCE hDrvResource, D3D10DDI_HRTRESOURCE hRTResource);
void APIENTRY D3d11CreateResourceWrapper(D3D10DDI_HDEVICE hDevice, const D3D11DDIARG_CREATERESOURCE* pArgs,
                                         D3D10DDI_HRESOURCE hDrvResource, D3D10DDI_HRTRESOURCE hRTResource);
// Entry 59.
void APIENTRY D3d10OpenResourceWrapper(D3D10DDI_HDEVICE hDevice, const D3D10DDIARG_OPENRESOURCE* pArgs,
                                       D3D10DDI_HRESOURCE hDrvResource, D3D10DDI_HRTRESOURCE hRTResource);
// Entry 60.
void APIENTRY D3d10DestroyResourceWrapper(D3D10DDI_HDEVICE hDevice, D3D10DDI_HRESOURCE hResource);

// Opened surfaces below this size are not tracked.
constexpr UINT kOpenedMinWidth = 800;
constexpr UINT kOpenedMinHeight = 480;

// The staging shadow of an opened shared surface, described from its width
// and height alone; registered with RegisterShadowBuffer. Leaves the surface
// without a shadow on any failure (the next flip tries again).
void MakeOpenedSurfaceShadow(D3d10DeviceRecord& device, TrackedSurface& surface) noexcept;

// Unmaps, destroys and frees the surface's shadow resource (when it has one).
void DestroyShadowResource(D3d10DeviceRecord& device, TrackedSurface& surface) noexcept;

// Device destruction, before the real driver's: every surface still tracked
// is released and its shadow destroyed as its resource destruction would;
// returns once no present callback holds one of them.
void DestroyRemainingSurfaces(D3d10DeviceRecord& device) noexcept;

// Releases the surfaces whose resources were destroyed while a present
// callback held them (ReleaseShadowBuffer, shadow, record). Called on the
// runtime's threads, at the device's next resource call or present, so the
// driver's threads never call the device for it.
void FinishRetiredSurfaces(D3d10DeviceRecord& device) noexcept;

// A pin on a tracked surface held by a present callback (see
// TrackedSurface::pins).
class CSurfacePin {
public:
    CSurfacePin(D3d10DeviceRecord& device, TrackedSurface* pinned) noexcept : m_device(device), m_pSurface(pinned) {}
    ~CSurfacePin();
    CSurfacePin(const CSurfacePin&) = delete;
    CSurfacePin& operator=(const CSurfacePin&) = delete;
    TrackedSurface* Get() const noexcept { return m_pSurface; }

private:
    D3d10DeviceRecord& m_device;
    TrackedSurface* m_pSurface;
};

}  // namespace brisel
