// D3D12 user-mode driver entry: only the OpenAdapter12 argument, which Brisel
// passes through unchanged. 32-bit layout, pinned by static_asserts.
#pragma once

#include "D3d10Ddi.h"

struct D3D12DDI_ADAPTERFUNCS;

struct D3D12DDIARG_OPENADAPTER {
    D3D10DDI_HRTADAPTER hRTAdapter;
    D3D10DDI_HADAPTER hAdapter;  // out
    const D3DDDI_ADAPTERCALLBACKS* pAdapterCallbacks;
    D3D12DDI_ADAPTERFUNCS* pAdapterFuncs;  // out
};

using PFND3D12DDI_OPENADAPTER = HRESULT(APIENTRY*)(D3D12DDIARG_OPENADAPTER*);

static_assert(sizeof(D3D12DDIARG_OPENADAPTER) == 16);
static_assert(offsetof(D3D12DDIARG_OPENADAPTER, pAdapterCallbacks) == 8);
