// DXGI presentation wrapping: the Present and Present1 wrappers attach a
// PresentContextNode to each present through pDXGIContext, and the wrapper of
// the runtime's pfnPresentCb takes the node back, copies the presented surface
// into its tracked surface's shadow when the surface's source is active,
// restores the runtime's context and forwards (or, for NVIDIA BLT presents of
// proxy-source primaries, answers S_OK itself).
//
// Nodes are registered process-wide for the length of their Present: a
// context the present callback receives is only used when it is a registered
// node not yet handed back, so a driver that presents with a context of its
// own, or hands one back twice, gets its call forwarded unchanged. Threads:
// Present wrappers on the runtime's threads, the present callback during the
// real driver's Present (on a thread of the driver's choosing); the registry
// has its own lock, never held while anything else is called. The present callback pins the surfaces it copies into, so
// the runtime may destroy their resources meanwhile (D3d10Resource.h).
#pragma once

#include "D3d10DeviceRecord.h"

namespace brisel {

// pfnPresent1 exists in DXGI tables of at least this many bytes.
constexpr UINT kDxgiPresent1MinBytes = 72;
struct PresentContextNode {
    VOID* prevContext;  // the runtime's pDXGIContext
    HANDLE surface;  // driver handle of the presented resource
    HANDLE dstResource;  // hDstResource of the present
    UINT flags;  // DXGI_DDI_PRESENT_FLAGS
    TrackedSurface* tracked;  // tracked surface of `surface` at the present, or none
};
static_assert(sizeof(PresentContextNode) == 20);

HRESULT APIENTRY DxgiPresentWrapper(DXGI_DDI_ARG_PRESENT* pArgs);
HRESULT APIENTRY DxgiPresent1Wrapper(DXGI_DDI_ARG_PRESENT1* pArgs);
HRESULT APIENTRY DxgiPresentCbWrapper(HANDLE hDevice, DXGIDDICB_PRESENT* pArgs);

// Nodes out over all devices: only during a present (for the tests).
unsigned PresentContextsOut() noexcept;

}  // namespace brisel
