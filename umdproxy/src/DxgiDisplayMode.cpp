// DXGI SetDisplayMode wrapper. Runs on the runtime's threads.
#include "DxgiDisplayMode.h"

#include "EscapeChannel.h"

namespace brisel {

HRESULT APIENTRY DxgiSetDisplayModeWrapper(DXGI_DDI_ARG_SETDISPLAYMODE* pArgs)
{
    if (!pArgs) return E_INVALIDARG;
    const auto [device, real] =
        FindDxgiForward<PFNDXGIDDI_SETDISPLAYMODE>(pArgs->hDevice.pDrvPrivate, kDxgiSetDisplayMode);
    if (!real) return E_INVALIDARG;
    TrackedSurface* surface = device->FindTrackedSurface(pArgs->hResource.pDrvPrivate);
    if (!surface) return real(pArgs);

    const UINT sourceId = surface->vidPnSourceId;
    EscapePacket packet;
    SetDisplayModeBegin(*device, *surface, sourceId, packet);

    HRESULT hr;
    const AdapterPrivateData& adapterData = device->adapter->privateData;
    if (adapterData.vendorId == kVendorNvidia && sourceId >= adapterData.firstProxySourceId) {
        // The proxy-source primary is an ordinary texture to the real
        // driver: the mode is set on its allocation through the runtime.
        auto setModeCb = DdiRawGet<PFND3DDDI_SETDISPLAYMODECB>(&device->pristineCallbacks, device->callbacksBytes,
                                                               kCbSetDisplayMode);
        D3DDDICB_SETDISPLAYMODE args{};
        args.hPrimaryAllocation = surface->primaryAllocation;
        args.PrivateDriverFormatAttribute = 0;
        hr = setModeCb ? setModeCb(device->runtimeDevice, &args) : E_INVALIDARG;
    } else {
        hr = real(pArgs);
    }

    // Only an answered end escape moves the surface: a failed one carries
    // nothing but what was sent.
    if (SUCCEEDED(SetDisplayModeEnd(*device, packet))) {
        const UINT answered = AnsweredSourceId(packet);
        if (answered != surface->vidPnSourceId) {
            surface->vidPnSourceId = answered;
            surface->sourceMask = SourceMaskOf(answered);
        }
    }
    return hr;
}

}  // namespace brisel
