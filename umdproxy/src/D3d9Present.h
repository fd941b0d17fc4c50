// The presentation wrappers of a D3D9 device: pfnPresent and pfnPresent1
// copy a presented tracked surface into its shadow surface with one pfnBlt of
// the real driver before the real present; pfnSetDisplayMode brackets a mode
// change of a tracked surface with the SetDisplayModeBegin / End escapes;
// pfnCheckDirectFlipSupport never reports support, so that presents on the
// captured display keep going through the paths that copy them.
//
// The copy's result is ignored: the application gets the real present's.
// Runs on the runtime's threads; no lock is held while the real driver or
// the kernel-mode driver runs. A tracked surface is only freed by the
// destruction of its resource, which the runtime does not run concurrently
// with a present or mode change of the same resource on the same device.
#pragma once

#include "D3d9DeviceRecord.h"

namespace brisel {

// Entries 40 and 136.
HRESULT APIENTRY D3d9PresentWrapper(HANDLE hDevice, const D3DDDIARG_PRESENT* pArgs);
HRESULT APIENTRY D3d9Present1Wrapper(HANDLE hDevice, const D3DDDIARG_PRESENT1* pArgs);
// Entry 39.
HRESULT APIENTRY D3d9SetDisplayModeWrapper(HANDLE hDevice, const D3DDDIARG_SETDISPLAYMODE* pArgs);
// Entry 127.
HRESULT APIENTRY D3d9CheckDirectFlipSupportWrapper(HANDLE hDevice, D3DDDIARG_CHECKDIRECTFLIPSUPPORT* pArgs);

}  // namespace brisel
