// The D3D9 device of the fake vendor user-mode drivers: pfnCreateDevice of
// their D3D9 adapter table. Built into every fake driver (FakeUmd.cpp).
#pragma once

#include "ddi/D3d9Ddi.h"

namespace fakeumd {

HRESULT APIENTRY CreateDevice9(HANDLE hAdapter, D3DDDIARG_CREATEDEVICE* args);

}  // namespace fakeumd
