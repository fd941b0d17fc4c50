// Fixture of the D3D10/11 and DXGI tests: an adapter opened through
// OpenAdapter10 with a chosen vendor, a device of a chosen Interface, and the
// runtime's side of resource creation, opening, destruction and presents
// (driver storage for each resource, both creation-argument forms), plus
// readers of the escapes the fake kernel-mode driver recorded. Runs on the
// test's threads.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "D3d10Device.h"
#include "DxgiPresent.h"
#include "UmdTestSupport.h"

namespace umdtest {

constexpr UINT kVendorOther = 0x1002;
constexpr UINT kVendorNv = 0x10DE;
constexpr UINT kFirstProxySource = 2;
constexpr UINT kStorageBytes = 32;
// The context the test runtime passes to every present.
inline VOID* const kRuntimeContext = reinterpret_cast<VOID*>(static_cast<ULONG_PTR>(0x51510));

struct ShadowRegistration {
    D3DKMT_HANDLE allocation = 0;
    UINT size = 0;
    UINT sourceMask = 0;
    UINT width = 0;
    UINT height = 0;
    UINT format = 0;
    UINT pitch = 0;
    const BYTE* address = nullptr;
};

// A Blt present of no surface on any device: it only travels through the
// driver and back through the present callback to the runtime.
HRESULT PresentWithoutSurface(fakes::Device10& device);

class D3d10Test : public UmdTest {
protected:
    void TearDown() override;

    // Adapter (vendor, fallback mode) and device (Interface); asserts success.
    void Open(UINT iface, UINT vendor = kVendorOther, bool fallbackMode = false);
    void DestroyDevice();
    void CloseAll();

    // Resource creation through the runtime's table in the device's form.
    // Returns the driver storage (the resource's driver handle).
    void* CreatePrimary(UINT sourceId, UINT width, UINT height, UINT bindFlags = 0xA0, UINT arraySize = 1);
    void* CreateTexture(UINT width, UINT height, UINT bindFlags);
    // Creation from a prepared argument, into new storage under a new
    // runtime handle.
    void* CreateFrom(const D3D11DDIARG_CREATERESOURCE& arg);
    // A texture created into storage the test already holds, as the runtime
    // reuses the storage of a resource whose creation failed.
    void CreateTextureInto(void* storage, UINT width, UINT height, UINT bindFlags);
    void* OpenShared(D3DKMT_HANDLE allocation);
    void DestroyResource(void* storage);

    HRESULT Present(void* surface, UINT flags, void* dst = nullptr);
    HRESULT Present1(void* surface, UINT flags, void* dst = nullptr);
    HRESULT SetDisplayMode(void* surface);

    ShadowRegistration LastRegistration();
    // Allocation the runtime handed out for a resource created by the test
    // (first allocation of the allocate call made for its runtime handle).
    D3DKMT_HANDLE AllocationOf(void* storage);
    // Every allocation the runtime handed out for it, and whether the driver
    // passed them as D3DDDI_ALLOCATIONINFO2 entries.
    std::vector<D3DKMT_HANDLE> AllocationsOf(void* storage, bool* info2);
    brisel::D3d10DeviceRecord* Record();
    // Whether every pixel of the registered shadow holds frame `seed`.
    static bool ShadowHoldsFrame(const ShadowRegistration& r, UINT seed);

    std::unique_ptr<fakes::Adapter10> m_adapter;
    std::unique_ptr<fakes::Device10> m_device;
    std::vector<std::unique_ptr<std::array<BYTE, kStorageBytes>>> m_storage;
    std::vector<std::pair<void*, HANDLE>> m_runtimeHandles;  // storage -> runtime handle
};

}  // namespace umdtest
