// DXGI SetDisplayMode wrapping: a mode change of a tracked primary is
// bracketed by SetDisplayModeBegin / SetDisplayModeEnd, goes through the
// runtime's pfnSetDisplayModeCb instead of the real driver for NVIDIA
// proxy-source primaries, and follows the kernel-mode driver when it answers
// another source id. Runs on the runtime's threads; no lock is held while the
// driver, the runtime or the kernel-mode driver is called.
#pragma once

#include "D3d10DeviceRecord.h"

namespace brisel {

// DXGI function entry 2.
HRESULT APIENTRY DxgiSetDisplayModeWrapper(DXGI_DDI_ARG_SETDISPLAYMODE* pArgs);

}  // namespace brisel
