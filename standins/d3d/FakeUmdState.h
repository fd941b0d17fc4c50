// Shared state of the fake vendor user-mode drivers (fakeumd_*.dll,
// fbumd32.dll). The state lives in fakeumd_state.dll, which the fake drivers
// and the test programs both import, so that it outlives every load and
// unload of a fake driver: the call log, the per-variant load and free
// counts, the configuration of the answers, and unique handle values.
// All functions are thread-safe (one critical section).
#pragma once

#include <windows.h>

#ifdef FAKEUMD_STATE_BUILD
#define FAKEUMD_STATE_API extern "C" __declspec(dllexport)
#else
#define FAKEUMD_STATE_API extern "C" __declspec(dllimport)
#endif

// Which fake driver file answered.
enum FakeUmdVariant : int {
    kFakeUmdA = 0,  // fakeumd_a.dll: every entry point
    kFakeUmdB = 1,  // fakeumd_b.dll: every entry point
    kFakeUmdNo10_2 = 2,  // fakeumd_no10_2.dll: every entry point but OpenAdapter10_2
    kFakeUmdNone = 3,  // fakeumd_none.dll: no entry point
    kFakeUmdFallback = 4,  // fbumd32.dll: every entry point
    kFakeUmdVariantCount = 5,
};

enum FakeUmdCallKind : int {
    kCallOpenAdapter,
    kCallOpenAdapter10,
    kCallOpenAdapter10_2,
    kCallOpenAdapter12,
    kCallCloseAdapter9,
    kCallCloseAdapter10,
    kCallCreateDevice9,
    kCallCreateDevice10,
    kCallDestroyDevice9,
    kCallDestroyDevice10,
    kCallCreateResource9,
    kCallDestroyResource9,
    kCallCreateResource10,
    kCallDestroyResource10,
    // D3D10/11 device and DXGI functions (FakeUmdD3d10.cpp, FakeUmdDxgi.cpp).
    kCallOpenResource10,
    kCallStagingMap10,
    kCallStagingUnmap10,
    kCallResourceCopy10,
    kCallFlush10,
    kCallDxgiPresent,
    kCallDxgiPresent1,
    kCallDxgiSetDisplayMode,
    kCallDxgiBlt,
};

struct FakeUmdCall {
    int kind;
    int variant;
    UINT interfaceVersion;  // Interface argument (opens, device creation)
    UINT version;  // Version argument
    void* handleIn;  // adapter or device handle the call received
    void* handleOut;  // handle the driver handed back
    const void* callbacks;  // callback table the driver received
    void* funcs;  // function table the driver filled
    UINT count;  // e.g. allocations made by a resource creation
    UINT argBytes;  // bytes of `args` that hold a copy of the call's argument structure
    BYTE args[64];
};

// Answers of the fake drivers; tests change them between calls.
struct FakeUmdConfig {
    HRESULT openResult;  // every OpenAdapter* entry
    HRESULT closeResult;
    HRESULT createDeviceResult;
    UINT driverVersion;  // D3D9 DriverVersion handed back
    BOOL recordCalls;  // FALSE: count only (stress tests)
    UINT allocationsAtCreateDevice;  // pfnAllocateCb calls made by device creation
    BOOL leaveDestroyDeviceEmpty;  // device table without pfnDestroyDevice
    // D3D10/11 and DXGI (FakeUmdD3d10.cpp, FakeUmdDxgi.cpp).
    UINT dxgiPresentMode;  // FakeDxgiPresentMode
    UINT frameSeed;  // pixel (x, y) of a presented frame: frameSeed + y * 65536 + x
    UINT openedWidth;  // size of an opened shared resource (0: 1024 x 768)
    UINT openedHeight;
    HRESULT dxgiResult;  // result of Present, Present1, SetDisplayMode and Blt
    UINT presentSrcAllocation;  // nonzero: hSrcAllocation (a D3DKMT_HANDLE) of every present callback
    // Called by pfnResourceCopy before it copies: lets a test act at that
    // moment, as another thread of the application could.
    void (*onResourceCopy)(void* context);
    void* onResourceCopyContext;
    // Called by Present and Present1 after the present callback, before they
    // return.
    void (*afterPresentCallback)(void* context);
    void* afterPresentCallbackContext;
    UINT allocationThread;  // FakeAllocationThread: who makes a resource's allocations
};

// The driver thread that calls pfnAllocateCb for a resource being created.
enum FakeAllocationThread : UINT {
    kAllocateOnCaller = 0,  // the thread inside CreateResource
    kAllocateOnWorker = 1,  // a worker thread of the driver, while CreateResource waits
    kWorkerAllocatesForDevice = 2,  // the caller; before that a worker makes an allocation of the
                                    // device itself (hResource null) while CreateResource waits
};

// How the fake DXGI Present hands pDXGIContext back through pfnPresentCb.
enum FakeDxgiPresentMode : UINT {
    kPresentCallsBack = 0,  // once, with the context it was given
    kPresentOwnContext = 1,  // once, with a context of its own
    kPresentCallsBackTwice = 2,  // twice with the context it was given
    kPresentNoCallback = 3,  // never
};

FAKEUMD_STATE_API FakeUmdConfig* FakeUmd_Config();
FAKEUMD_STATE_API void FakeUmd_Reset();
FAKEUMD_STATE_API void FakeUmd_Record(const FakeUmdCall* call);
FAKEUMD_STATE_API unsigned FakeUmd_CallCount();
// Copies call `index` (in order of recording); FALSE when out of range.
FAKEUMD_STATE_API BOOL FakeUmd_GetCall(unsigned index, FakeUmdCall* call);
FAKEUMD_STATE_API void FakeUmd_ModuleEvent(int variant, BOOL attach);
FAKEUMD_STATE_API LONG FakeUmd_Loads(int variant);
FAKEUMD_STATE_API LONG FakeUmd_Frees(int variant);
// Adapters opened and not yet closed, over every variant.
FAKEUMD_STATE_API LONG FakeUmd_OpenAdapters();
FAKEUMD_STATE_API void FakeUmd_AdapterDelta(LONG delta);
// A fresh nonzero handle value, never given before.
FAKEUMD_STATE_API void* FakeUmd_NewHandle();
