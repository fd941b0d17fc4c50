// Brisel's four driver entry points (exported undecorated by Brisel.def) and
// the adapter-close wrappers they install. Declared here so that the tests can
// also reach them through the internals library. Runs on the runtime's threads.
#pragma once

#include "ddi/D3d10Ddi.h"
#include "ddi/D3d12Ddi.h"
#include "ddi/D3d9Ddi.h"

extern "C" {
HRESULT APIENTRY OpenAdapter(D3DDDIARG_OPENADAPTER* pOpenData);
HRESULT APIENTRY OpenAdapter10(D3D10DDIARG_OPENADAPTER* pOpenData);
HRESULT APIENTRY OpenAdapter10_2(D3D10DDIARG_OPENADAPTER* pOpenData);
HRESULT APIENTRY OpenAdapter12(D3D12DDIARG_OPENADAPTER* pOpenData);
}

namespace brisel {

// Name of the D3D9 driver loaded in fallback mode.
constexpr wchar_t kFallbackD3d9Driver[] = L"fbumd32.dll";

HRESULT APIENTRY D3d9CloseAdapterWrapper(HANDLE hAdapter);
HRESULT APIENTRY D3d10CloseAdapterWrapper(D3D10DDI_HADAPTER hAdapter);

// Whether OpenAdapter10_2 wraps an adapter of this Interface.
bool IsWrappedInterface10_2(UINT iface) noexcept;

}  // namespace brisel
