// Fake Direct3D runtime for Brisel's tests: finds the driver's four entry
// points (from a loaded Brisel.dll or from the linked internals), opens and
// closes adapters and creates devices with realistic argument structures, and
// supplies the adapter and device callbacks. The adapter callbacks reach the
// fake kernel-mode driver (FakeKmd.h); the device callbacks hand out
// allocation handles and record every allocate, deallocate and submit call.
// Thread-safe: recording is guarded by one mutex; each open uses its own
// argument storage.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

#include "ddi/D3d10Ddi.h"
#include "ddi/D3d12Ddi.h"
#include "ddi/D3d9Ddi.h"

namespace fakes {

struct DriverEntries {
    PFND3DDDI_OPENADAPTER openAdapter = nullptr;
    PFND3D10DDI_OPENADAPTER openAdapter10 = nullptr;
    PFND3D10DDI_OPENADAPTER openAdapter10_2 = nullptr;
    PFND3D12DDI_OPENADAPTER openAdapter12 = nullptr;
};

// GetProcAddress of the four undecorated exports.
DriverEntries EntriesFromModule(HMODULE module);

// The runtime's callback tables, shared by every adapter and device.
const D3DDDI_ADAPTERCALLBACKS* AdapterCallbacks();
const D3DDDI_DEVICECALLBACKS* DeviceCallbacks();

// A device callback table of exactly `entries` entries, as a runtime of that
// interface version owns it, ending flush against an inaccessible page: a
// read of one entry more faults. The entries the fakes call are the shared
// table's; every other entry holds a distinct non-null value.
class GuardedCallbacks {
public:
    explicit GuardedCallbacks(UINT entries);
    ~GuardedCallbacks();
    GuardedCallbacks(const GuardedCallbacks&) = delete;
    GuardedCallbacks& operator=(const GuardedCallbacks&) = delete;
    const D3DDDI_DEVICECALLBACKS* Table() const { return m_table; }
    DdiProc Entry(UINT index) const;

private:
    void* m_base = nullptr;
    const D3DDDI_DEVICECALLBACKS* m_table = nullptr;
    UINT m_entries;
};

struct RecordedAllocate {
    HANDLE hDevice;
    HANDLE hResource;
    D3DKMT_HANDLE hKMResource;
    std::vector<D3DDDI_ALLOCATIONINFO> infos;  // as the runtime returned them (the shared fields of either form)
    bool info2;  // the driver passed D3DDDI_ALLOCATIONINFO2 entries
};

struct RecordedDeallocate {
    HANDLE hDevice;
    HANDLE hResource;
    std::vector<D3DKMT_HANDLE> handles;
};

// One DXGI pfnPresentCb call as it reached the runtime.
struct RecordedPresentCb {
    HANDLE hDevice;
    D3DKMT_HANDLE hSrcAllocation;
    D3DKMT_HANDLE hDstAllocation;
    VOID* pDXGIContext;
};

struct RecordedSetDisplayModeCb {
    HANDLE hDevice;
    D3DDDICB_SETDISPLAYMODE args;
};

struct RuntimeLog {
    std::vector<RecordedAllocate> allocates;
    std::vector<RecordedDeallocate> deallocates;
    std::vector<HANDLE> submits;  // hDevice of each pfnSubmitCommandCb
    std::vector<RecordedPresentCb> presents;  // DXGI pfnPresentCb
    std::vector<RecordedSetDisplayModeCb> setDisplayModes;
};

// Result of the runtime's DXGI pfnPresentCb (S_OK after ResetRuntimeLog).
void SetRuntimePresentResult(HRESULT hr);

// How the runtime hands DXGI base callback tables to D3D10/11 devices
// (PerDevice after ResetRuntimeLog). A runtime may give every device the same
// table, filled once (Shared) or with its pfnPresentCb written again before
// each device creation (SharedRefilled).
enum class DxgiTableMode { PerDevice, Shared, SharedRefilled };
void SetRuntimeDxgiTableMode(DxgiTableMode mode);
// The table the shared modes hand out, and the runtime's own pfnPresentCb.
DXGI_DDI_BASE_CALLBACKS* SharedDxgiCallbacks();
PFNDDXGIDDI_PRESENTCB RuntimeDxgiPresentCb();

void ResetRuntimeLog();
RuntimeLog RuntimeLogSnapshot();
void SetRuntimeRecording(bool on);

// One adapter opened through the D3D9 entry.
struct Adapter9 {
    HRESULT hr = E_FAIL;
    HANDLE runtimeHandle = nullptr;  // hAdapter passed in
    D3DDDIARG_OPENADAPTER args{};
    D3DDDI_ADAPTERFUNCS funcs{};  // the runtime's table, as filled
    HRESULT Close() { return funcs.pfnCloseAdapter(args.hAdapter); }
};

// One adapter opened through OpenAdapter10 or OpenAdapter10_2.
struct Adapter10 {
    HRESULT hr = E_FAIL;
    HANDLE runtimeHandle = nullptr;
    D3D10DDIARG_OPENADAPTER args{};
    D3D10_2DDI_ADAPTERFUNCS funcs{};
    HRESULT Close() { return funcs.pfnCloseAdapter(args.hAdapter); }
};

struct Adapter12 {
    HRESULT hr = E_FAIL;
    HANDLE runtimeHandle = nullptr;
    D3D12DDIARG_OPENADAPTER args{};
};

// Unique runtime handle values (never null).
HANDLE NewRuntimeHandle();

std::unique_ptr<Adapter9> OpenAdapter9(const DriverEntries& entries, UINT iface = 9, UINT version = 0x6003);
std::unique_ptr<Adapter10> OpenAdapter10(const DriverEntries& entries, UINT iface = 0xA0000, UINT version = 0x4000);
std::unique_ptr<Adapter10> OpenAdapter10_2(const DriverEntries& entries, UINT iface, UINT version = 0x4000);
std::unique_ptr<Adapter12> OpenAdapter12(const DriverEntries& entries);

// One D3D9 device created through an adapter's pfnCreateDevice.
struct Device9 {
    HRESULT hr = E_FAIL;
    HANDLE runtimeHandle = nullptr;
    D3DDDI_DEVICECALLBACKS callbacks{};  // the runtime's table handed in
    const D3DDDI_DEVICECALLBACKS* table = nullptr;  // when set, handed in instead of `callbacks`
    D3DDDIARG_CREATEDEVICE args{};
    D3DDDI_DEVICEFUNCS funcs{};  // the runtime's device table, as filled
    template <class Fn>
    Fn Func(unsigned entry) const
    {
        return DdiTableGet<Fn>(funcs, entry);
    }
    HRESULT Destroy() { return Func<PFND3DDDI_DESTROYDEVICE>(kD3d9DestroyDevice)(args.hDevice); }
};

// The runtime plays `version`: it describes allocations in the form that
// version implies.
std::unique_ptr<Device9> CreateDevice9(Adapter9& adapter, UINT version = 0x6003, UINT iface = 9,
                                       const D3DDDI_DEVICECALLBACKS* table = nullptr);

struct Device10 {
    HRESULT hr = E_FAIL;
    HANDLE runtimeHandle = nullptr;
    D3DDDI_DEVICECALLBACKS callbacks{};
    const D3DDDI_DEVICECALLBACKS* table = nullptr;  // when set, handed in instead of `callbacks`
    DXGI_DDI_BASE_CALLBACKS dxgiCallbacks{};
    DXGI_DDI_BASE_CALLBACKS* sharedDxgiCallbacks = nullptr;  // set: handed out instead of dxgiCallbacks
    DXGI_DDI_BASE_FUNCTIONS dxgiFuncs{};
    D3D10DDIARG_CREATEDEVICE args{};
    D3D10DDI_DEVICEFUNCS funcs{};
    std::vector<unsigned char> driverStorage;  // hDrvDevice memory, as a runtime allocates it
    template <class Fn>
    Fn Func(unsigned entry) const
    {
        return DdiTableGet<Fn>(funcs, entry);
    }
    void Destroy() { Func<PFND3D10DDI_DESTROYDEVICE>(kD3d10DestroyDevice)(args.hDrvDevice); }
};

// The runtime plays `iface`: its callback table and allocation form are that
// interface's. `version` is the runtime's build number and revision.
std::unique_ptr<Device10> CreateDevice10(Adapter10& adapter, UINT iface, UINT version = 0x6003,
                                         const D3DDDI_DEVICECALLBACKS* table = nullptr);
// The same for a device whose callback and function tables the caller has
// already filled: gives it a runtime handle and driver storage, points the
// creation arguments at its tables and calls pfnCreateDevice (result in hr).
void CreatePreparedDevice10(Adapter10& adapter, Device10& device, UINT iface, UINT version = 0x6003);

}  // namespace fakes
