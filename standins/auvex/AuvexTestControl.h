// Test control of the stand-in libAuvex DLL: functions exported under names
// of our own (AuvexTest_*) beside the library's real ones, so that a test can
// script what a monitor delivers and observe what its caller did.
//
// Every function is thread-safe and may be called while a frame thread is
// blocked in WaitforFrameChange. Scripted events are queued per monitor and
// delivered one per WaitforFrameChange, in order, before any frame of the
// frame source.
//
// The same knobs can be set for a whole process through the environment, so
// that a program that knows nothing of this API (Skyvane itself) can be run
// against chosen content; they are read when a monitor is created:
//   AUVEX_FRAME_RATE=<frames per second>     steady frame rate (default 30)
//   AUVEX_FRAME_FILES=<file>[;<file>...]     raw BGRX frames, cycled in order
//   AUVEX_FRAME_SIZE=<width>x<height>        size of those raw frames
//                                            (default: the monitor's mode)
#pragma once

#include <cstdint>

#include "Auvex.h"

// Extra results of WaitforFrameChange produced by the stand-in itself.
constexpr int kAuvexWaitBadHandle = 3;   // unknown or destroyed handle, or no listener
constexpr int kAuvexWaitNotPlugged = 4;  // the monitor is not plugged in
constexpr int kAuvexWaitBusy = 5;        // another thread already waits on this monitor

// Counters and state of one monitor.
struct AuvexTestMonitorInfo {
  int32_t plugged;           // PlugInMonitor succeeded and no PlugOutMonitor since
  int32_t active;            // what IsMonitorActive reports
  int32_t width, height;     // the current mode
  uint32_t waits;            // WaitforFrameChange calls
  uint32_t framesDelivered;  // OnImageChange calls made
  uint32_t cancels;          // CancelWaitFrameChange calls
  uint32_t nothingNew;       // waits that returned 2
  int32_t waiting;           // a thread is inside WaitforFrameChange right now
  uint8_t edid[256];         // the buffer given to PlugInMonitor
  int32_t edidSize;          // its size argument
};

// Called on every call of a library function (real names only), on the
// calling thread, before the function acts. `function` is its export name.
typedef void(AUVEX_CALL* AuvexTestCallHook)(const char* function, AuvexMonitor hMonitor, void* context);

// Destroys every monitor and restores all defaults (rates, failures, hook).
AUVEX_API void AUVEX_CALL AuvexTest_Reset();

// Handles of the monitors that exist, in creation order; returns how many
// exist (may exceed `capacity`, of which only `capacity` are stored).
AUVEX_API int AUVEX_CALL AuvexTest_GetMonitors(AuvexMonitor* pHandles, int capacity);
// Fills `pInfo`; false (0) for an unknown handle.
AUVEX_API int AUVEX_CALL AuvexTest_GetMonitorInfo(AuvexMonitor hMonitor, AuvexTestMonitorInfo* pInfo);

// Defaults for monitors created from now on. `framesPerSecond` 0 delivers no
// frame at all (every wait ends with 2); `waitMs` is how long one
// WaitforFrameChange waits for something before it returns 2.
AUVEX_API void AUVEX_CALL AuvexTest_SetDefaultTiming(int framesPerSecond, int waitMs);
// The same for one existing monitor.
AUVEX_API int AUVEX_CALL AuvexTest_SetTiming(AuvexMonitor hMonitor, int framesPerSecond, int waitMs);

// Changes the monitor's mode (as if the desktop's resolution changed): frames
// of the source come at the new size from the next one on.
AUVEX_API int AUVEX_CALL AuvexTest_SetMode(AuvexMonitor hMonitor, int width, int height);
// Extra bytes at the end of every row of the frames the monitor delivers.
AUVEX_API int AUVEX_CALL AuvexTest_SetRowPadding(AuvexMonitor hMonitor, int bytes);
// Whether a cancel that finds no wait blocked is kept for the next wait (1,
// the default) or lost (0: all the library promises is to release a wait
// blocked at that moment).
AUVEX_API int AUVEX_CALL AuvexTest_SetCancelKeptForNextWait(AuvexMonitor hMonitor, int keep);
// Frames from raw BGRX files of width x height pixels (rows of 4 * width
// bytes), cycled in order. `paths` holds `count` file names. Returns 0 when a
// file cannot be read or has the wrong size (the source stays unchanged).
AUVEX_API int AUVEX_CALL AuvexTest_SetFrameFiles(AuvexMonitor hMonitor, const char* const* paths, int count, int width,
                                                 int height);
// Back to the synthetic desktop.
AUVEX_API int AUVEX_CALL AuvexTest_SetSyntheticFrames(AuvexMonitor hMonitor);

// Activity: the monitor reports `active` from now on, and the next wait
// delivers OnMonitorActiveChange(active). An inactive monitor delivers no
// frames (its waits end with 2).
AUVEX_API int AUVEX_CALL AuvexTest_SetActive(AuvexMonitor hMonitor, int active);
// The next waits return these results, in order, without calling the
// listener (one result per wait).
AUVEX_API int AUVEX_CALL AuvexTest_QueueWaitResult(AuvexMonitor hMonitor, int result);
// The next wait hands the listener exactly this record (pixels not copied:
// the caller keeps them valid until the wait has returned) and returns 0.
AUVEX_API int AUVEX_CALL AuvexTest_QueueImage(AuvexMonitor hMonitor, int width, int height, int pitch,
                                              const void* pData);
// The next wait calls OnReservedEvent1 (which 1) or OnReservedEvent2 (which 2).
AUVEX_API int AUVEX_CALL AuvexTest_QueueReservedEvent(AuvexMonitor hMonitor, int which, uint32_t value);

// The next `count` CreateMonitorDevice calls return 0.
AUVEX_API void AUVEX_CALL AuvexTest_FailCreateMonitorDevice(int count);
// The next `count` PlugInMonitor calls return `result` (nonzero) without plugging.
AUVEX_API void AUVEX_CALL AuvexTest_FailPlugInMonitor(int count, int result);

// Installs (or, with null, removes) the call hook.
AUVEX_API void AUVEX_CALL AuvexTest_SetCallHook(AuvexTestCallHook hook, void* context);
// How often InstallHook and UnInstallHook were called since the last reset.
AUVEX_API int AUVEX_CALL AuvexTest_GetHookCalls(int* pInstalls, int* pUninstalls);
