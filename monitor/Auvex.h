// Declarations of the outside virtual monitor library libAuvex, which Skyvane
// links through its import library, and of the two records that cross its
// boundary: the frame record ImageData and the callback interface
// IMonitorUpdateListener.
//
// The library creates virtual monitors (one per USB display device) and, while
// a frame thread waits in WaitforFrameChange, calls that thread's listener
// with every changed frame. Every other function is called on the main thread.
//
// Calling convention: plain C linkage, __cdecl, undecorated export names. The
// listener is called through its virtual table (the compiler's member call
// convention), so its slot order below is part of the contract.
#pragma once

#include <cstddef>
#include <cstdint>

// Monitor handle: 32 bits, 0 means none.
typedef uint32_t AuvexMonitor;

// One frame as the library hands it over. The pixels stay valid until
// OnImageChange returns; 4 bytes per pixel, in the order B, G, R, X.
struct ImageData {
  int32_t width;   // pixels per row
  int32_t height;  // rows
  int32_t pitch;   // bytes from one row to the next
  uint8_t* data;   // first pixel
};

// Results of WaitforFrameChange as the caller reads them.
constexpr int kAuvexWaitDelivered = 0;   // an event was delivered to the listener
constexpr int kAuvexWaitNothingNew = 2;  // nothing delivered; worth retrying

// Called by the library on the thread that is inside WaitforFrameChange.
// No virtual destructor: the library never owns a listener.
class IMonitorUpdateListener {
 public:
  virtual void OnImageChange(const ImageData* pImageData) = 0;
  virtual void OnMonitorActiveChange(bool active) = 0;
  virtual void OnReservedEvent1(uint32_t value) = 0;
  virtual void OnReservedEvent2(uint32_t value) = 0;

 protected:
  ~IMonitorUpdateListener() = default;
};

#if defined(_WIN32)
#define AUVEX_CALL __cdecl
#if defined(AUVEX_BUILDING_LIBRARY)
#define AUVEX_API extern "C" __declspec(dllexport)
#else
#define AUVEX_API extern "C" __declspec(dllimport)
#endif
#else
#define AUVEX_CALL
#define AUVEX_API extern "C"
#endif

// A new virtual monitor, not yet visible. 0 on failure.
AUVEX_API AuvexMonitor AUVEX_CALL CreateMonitorDevice();
// Makes the monitor visible with the EDID in `pEdid` (`size` bytes, the
// caller passes its whole 256-byte buffer). 0 on success, nonzero on failure.
AUVEX_API int AUVEX_CALL PlugInMonitor(AuvexMonitor hMonitor, const uint8_t* pEdid, int size);
// Blocks until something happens and delivers it to `pListener` on the
// calling thread before returning. 0: delivered; 2: nothing, retry; other: error.
AUVEX_API int AUVEX_CALL WaitforFrameChange(AuvexMonitor hMonitor, IMonitorUpdateListener* pListener);
// Releases a WaitforFrameChange blocked on another thread.
AUVEX_API int AUVEX_CALL CancelWaitFrameChange(AuvexMonitor hMonitor);
// Nonzero while the monitor is in use.
AUVEX_API int AUVEX_CALL IsMonitorActive(AuvexMonitor hMonitor);
// The monitor disappears.
AUVEX_API int AUVEX_CALL PlugOutMonitor(AuvexMonitor hMonitor);
// Releases the handle; it is not used again.
AUVEX_API int AUVEX_CALL DestroyMonitorDevice(AuvexMonitor hMonitor);
// Called once after the monitor manager started, and once at WM_CLOSE.
AUVEX_API int AUVEX_CALL InstallHook();
AUVEX_API int AUVEX_CALL UnInstallHook();

// The record's layout is fixed by the library (32-bit build).
static_assert(offsetof(ImageData, width) == 0);
static_assert(offsetof(ImageData, height) == 4);
static_assert(offsetof(ImageData, pitch) == 8);
static_assert(offsetof(ImageData, data) == 12);
static_assert(sizeof(void*) != 4 || sizeof(ImageData) == 16);
