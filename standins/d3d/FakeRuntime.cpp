// Fake Direct3D runtime (see FakeRuntime.h). Runs on the test's threads.
#include "FakeRuntime.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

#include "FakeKmd.h"

namespace fakes {

namespace {

std::mutex s_logMutex;
RuntimeLog s_log;
bool s_recording = true;
std::atomic<UINT> s_nextAllocation{0x100};
std::atomic<ULONG_PTR> s_nextHandle{0x7000};

HRESULT APIENTRY GetMultisampleMethodListCb(HANDLE, VOID*) { return E_NOTIMPL; }

// Devices whose runtime plays a version with D3DDDI_ALLOCATIONINFO2 entries.
std::map<HANDLE, bool> s_info2Devices;  // under s_logMutex

void PlayAllocationForm(HANDLE device, UINT umdVersion)
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    s_info2Devices[device] = AllocationInfo2ForUmdVersion(umdVersion);
}

HRESULT APIENTRY AllocateCb(HANDLE hDevice, D3DDDICB_ALLOCATE* pArgs)
{
    if (!pArgs || (pArgs->NumAllocations && !pArgs->pAllocationInfo)) return E_INVALIDARG;
    bool info2;
    {
        std::lock_guard<std::mutex> lock(s_logMutex);
        auto it = s_info2Devices.find(hDevice);
        info2 = it != s_info2Devices.end() && it->second;
    }
    pArgs->hKMResource = pArgs->hResource ? s_nextAllocation++ : 0;
    std::vector<D3DDDI_ALLOCATIONINFO> infos(pArgs->NumAllocations);
    for (UINT i = 0; i < pArgs->NumAllocations; ++i) {
        if (info2) {
            auto& entry = reinterpret_cast<D3DDDI_ALLOCATIONINFO2*>(pArgs->pAllocationInfo)[i];
            entry.hAllocation = s_nextAllocation++;
            entry.GpuVirtualAddress = D3DGPU_VIRTUAL_ADDRESS(entry.hAllocation) << 16;
            std::memcpy(&infos[i], &entry, sizeof infos[i]);
        } else {
            pArgs->pAllocationInfo[i].hAllocation = s_nextAllocation++;
            infos[i] = pArgs->pAllocationInfo[i];
        }
    }
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_recording) s_log.allocates.push_back({hDevice, pArgs->hResource, pArgs->hKMResource, infos, info2});
    return S_OK;
}

HRESULT APIENTRY Deallocate2Cb(HANDLE hDevice, const D3DDDICB_DEALLOCATE2* pArgs)
{
    if (!pArgs) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_recording) {
        RecordedDeallocate rec{hDevice, pArgs->hResource, {}};
        if (pArgs->HandleList) rec.handles.assign(pArgs->HandleList, pArgs->HandleList + pArgs->NumAllocations);
        s_log.deallocates.push_back(rec);
    }
    return S_OK;
}

HRESULT APIENTRY SubmitCommandCb(HANDLE hDevice, const D3DDDICB_SUBMITCOMMAND*)
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_recording) s_log.submits.push_back(hDevice);
    return S_OK;
}

std::atomic<HRESULT> s_presentResult{S_OK};

HRESULT APIENTRY SetDisplayModeCb(HANDLE hDevice, D3DDDICB_SETDISPLAYMODE* pArgs)
{
    if (!pArgs) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_recording) s_log.setDisplayModes.push_back({hDevice, *pArgs});
    return S_OK;
}

HRESULT APIENTRY DxgiPresentCb(HANDLE hDevice, DXGIDDICB_PRESENT* pArgs)
{
    if (!pArgs) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_recording)
        s_log.presents.push_back({hDevice, pArgs->hSrcAllocation, pArgs->hDstAllocation, pArgs->pDXGIContext});
    return s_presentResult.load();
}

// Every other runtime callback: present in the table, never expected.
HRESULT APIENTRY OtherCb() { return E_NOTIMPL; }

void FillDxgiCallbacks(DXGI_DDI_BASE_CALLBACKS& table)
{
    for (auto& entry : table.entries) entry = reinterpret_cast<DdiProc>(&OtherCb);
    DdiTableSet(table, kDxgiCbPresent, &DxgiPresentCb);
}

std::atomic<DxgiTableMode> s_dxgiTableMode{DxgiTableMode::PerDevice};
DXGI_DDI_BASE_CALLBACKS s_sharedDxgiCallbacks;

D3DDDI_DEVICECALLBACKS MakeDeviceCallbacks()
{
    D3DDDI_DEVICECALLBACKS table{};
    for (auto& entry : table.entries) entry = reinterpret_cast<DdiProc>(&OtherCb);
    DdiTableSet(table, kCbAllocate, &AllocateCb);
    DdiTableSet(table, kCbEscape, &FakeKmd::EscapeCb);
    DdiTableSet(table, kCbSetDisplayMode, &SetDisplayModeCb);
    DdiTableSet(table, kCbSubmitCommand, &SubmitCommandCb);
    DdiTableSet(table, kCbDeallocate2, &Deallocate2Cb);
    return table;
}

const D3DDDI_ADAPTERCALLBACKS s_adapterCallbacks{&FakeKmd::QueryAdapterInfoCb, &GetMultisampleMethodListCb};
const D3DDDI_DEVICECALLBACKS s_deviceCallbacks = MakeDeviceCallbacks();

}  // namespace

GuardedCallbacks::GuardedCallbacks(UINT entries) : m_entries(entries)
{
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const SIZE_T page = info.dwPageSize;
    m_base = VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!m_base) return;
    auto* end = static_cast<unsigned char*>(m_base) + page;
    auto* first = reinterpret_cast<DdiProc*>(end) - entries;
    for (UINT i = 0; i < entries; ++i) {
        first[i] = i < kDeviceCallbackCount && s_deviceCallbacks.entries[i] != reinterpret_cast<DdiProc>(&OtherCb)
                       ? s_deviceCallbacks.entries[i]
                       : reinterpret_cast<DdiProc>(0x5EED0000u + i * 0x10u);
    }
    DWORD old = 0;
    VirtualProtect(end, page, PAGE_NOACCESS, &old);
    m_table = reinterpret_cast<const D3DDDI_DEVICECALLBACKS*>(first);
}

GuardedCallbacks::~GuardedCallbacks()
{
    if (m_base) VirtualFree(m_base, 0, MEM_RELEASE);
}

DdiProc GuardedCallbacks::Entry(UINT index) const
{
    return index < m_entries && m_table ? reinterpret_cast<const DdiProc*>(m_table)[index] : nullptr;
}

DriverEntries EntriesFromModule(HMODULE module)
{
    DriverEntries e;
    e.openAdapter = ProcAs<PFND3DDDI_OPENADAPTER>(GetProcAddress(module, "OpenAdapter"));
    e.openAdapter10 = ProcAs<PFND3D10DDI_OPENADAPTER>(GetProcAddress(module, "OpenAdapter10"));
    e.openAdapter10_2 = ProcAs<PFND3D10DDI_OPENADAPTER>(GetProcAddress(module, "OpenAdapter10_2"));
    e.openAdapter12 = ProcAs<PFND3D12DDI_OPENADAPTER>(GetProcAddress(module, "OpenAdapter12"));
    return e;
}

const D3DDDI_ADAPTERCALLBACKS* AdapterCallbacks() { return &s_adapterCallbacks; }
const D3DDDI_DEVICECALLBACKS* DeviceCallbacks() { return &s_deviceCallbacks; }

void ResetRuntimeLog()
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    s_log = RuntimeLog{};
    s_recording = true;
    s_presentResult = S_OK;
    s_dxgiTableMode = DxgiTableMode::PerDevice;
}

void SetRuntimePresentResult(HRESULT hr) { s_presentResult = hr; }

void SetRuntimeDxgiTableMode(DxgiTableMode mode)
{
    s_dxgiTableMode = mode;
    FillDxgiCallbacks(s_sharedDxgiCallbacks);
}

DXGI_DDI_BASE_CALLBACKS* SharedDxgiCallbacks() { return &s_sharedDxgiCallbacks; }
PFNDDXGIDDI_PRESENTCB RuntimeDxgiPresentCb() { return &DxgiPresentCb; }

RuntimeLog RuntimeLogSnapshot()
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    return s_log;
}

void SetRuntimeRecording(bool on)
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    s_recording = on;
}

HANDLE NewRuntimeHandle() { return reinterpret_cast<HANDLE>(s_nextHandle.fetch_add(0x10)); }

std::unique_ptr<Adapter9> OpenAdapter9(const DriverEntries& entries, UINT iface, UINT version)
{
    auto a = std::make_unique<Adapter9>();
    a->runtimeHandle = NewRuntimeHandle();
    a->args.hAdapter = a->runtimeHandle;
    a->args.Interface = iface;
    a->args.Version = version;
    a->args.pAdapterCallbacks = &s_adapterCallbacks;
    a->args.pAdapterFuncs = &a->funcs;
    a->hr = entries.openAdapter(&a->args);
    return a;
}

static std::unique_ptr<Adapter10> OpenAdapter10Any(PFND3D10DDI_OPENADAPTER entry, UINT iface, UINT version)
{
    auto a = std::make_unique<Adapter10>();
    a->runtimeHandle = NewRuntimeHandle();
    a->args.hRTAdapter.handle = a->runtimeHandle;
    a->args.Interface = iface;
    a->args.Version = version;
    a->args.pAdapterCallbacks = &s_adapterCallbacks;
    a->args.pAdapterFuncs_2 = &a->funcs;
    a->hr = entry(&a->args);
    return a;
}

std::unique_ptr<Adapter10> OpenAdapter10(const DriverEntries& entries, UINT iface, UINT version)
{
    return OpenAdapter10Any(entries.openAdapter10, iface, version);
}

std::unique_ptr<Adapter10> OpenAdapter10_2(const DriverEntries& entries, UINT iface, UINT version)
{
    return OpenAdapter10Any(entries.openAdapter10_2, iface, version);
}

std::unique_ptr<Adapter12> OpenAdapter12(const DriverEntries& entries)
{
    auto a = std::make_unique<Adapter12>();
    a->runtimeHandle = NewRuntimeHandle();
    a->args.hRTAdapter.handle = a->runtimeHandle;
    a->args.pAdapterCallbacks = &s_adapterCallbacks;
    a->hr = entries.openAdapter12(&a->args);
    return a;
}

std::unique_ptr<Device9> CreateDevice9(Adapter9& adapter, UINT version, UINT iface, const D3DDDI_DEVICECALLBACKS* table)
{
    auto d = std::make_unique<Device9>();
    d->runtimeHandle = NewRuntimeHandle();
    d->callbacks = s_deviceCallbacks;
    d->table = table;
    // The form of the driver model: a driver built for an older version than
    // the runtime's (its DriverVersion) keeps its own.
    PlayAllocationForm(d->runtimeHandle, std::min(version, adapter.args.DriverVersion));
    d->args.hDevice = d->runtimeHandle;
    d->args.Interface = iface;
    d->args.Version = version;
    d->args.pCallbacks = table ? table : &d->callbacks;
    d->args.pDeviceFuncs = &d->funcs;
    d->hr = adapter.funcs.pfnCreateDevice(adapter.args.hAdapter, &d->args);
    return d;
}

std::unique_ptr<Device10> CreateDevice10(Adapter10& adapter, UINT iface, UINT version,
                                         const D3DDDI_DEVICECALLBACKS* table)
{
    auto d = std::make_unique<Device10>();
    d->callbacks = s_deviceCallbacks;
    d->table = table;
    FillDxgiCallbacks(d->dxgiCallbacks);
    const DxgiTableMode mode = s_dxgiTableMode;
    if (mode != DxgiTableMode::PerDevice) d->sharedDxgiCallbacks = &s_sharedDxgiCallbacks;
    if (mode == DxgiTableMode::SharedRefilled) DdiTableSet(s_sharedDxgiCallbacks, kDxgiCbPresent, &DxgiPresentCb);
    CreatePreparedDevice10(adapter, *d, iface, version);
    return d;
}

void CreatePreparedDevice10(Adapter10& adapter, Device10& device, UINT iface, UINT version)
{
    device.runtimeHandle = NewRuntimeHandle();
    // An Interface newer than any known one plays the newest known form.
    const UINT umdVersion = UmdVersionForD3d10Interface(iface);
    PlayAllocationForm(device.runtimeHandle, umdVersion ? umdVersion : kUmdVersionWddm2_2);
    SIZE_T size = adapter.funcs.pfnCalcPrivateDeviceSize(adapter.args.hAdapter, nullptr);
    device.driverStorage.assign(size, 0);
    device.args.hRTDevice.handle = device.runtimeHandle;
    device.args.Interface = iface;
    device.args.Version = version;
    device.args.pKTCallbacks = device.table ? device.table : &device.callbacks;
    device.args.pDeviceFuncs = &device.funcs;
    device.args.hDrvDevice.pDrvPrivate = device.driverStorage.data();
    device.args.DXGIBaseDDI.pDXGIBaseCallbacks =
        device.sharedDxgiCallbacks ? device.sharedDxgiCallbacks : &device.dxgiCallbacks;
    device.args.DXGIBaseDDI.pDXGIDDIBaseFunctions = &device.dxgiFuncs;
    device.hr = adapter.funcs.pfnCreateDevice(adapter.args.hAdapter, &device.args);
}

}  // namespace fakes
