// The monitor manager's view of one USB display device's processor, and the
// processor's way back to the manager.
//
// Threads: every operation is called on the main thread.
#pragma once

#include <windows.h>

#include <string>

class IMonitorProcessor {
 public:
  // Implemented by the monitor manager. A processor keeps a pointer to it
  // from construction on; the manager outlives its processors.
  class Delegate {
   public:
    // Asks the program to shut down (posts WM_CLOSE); any thread.
    virtual void RequestClose() = 0;

   protected:
    ~Delegate() = default;
  };

  virtual ~IMonitorProcessor() = default;

  // Opens the device at szDevPath, reads its EDID and plugs in its virtual
  // monitor. On false everything has been released again.
  virtual bool Init(const wchar_t* szDevPath) = 0;
  // A copy of the path given to a successful Init; empty before.
  virtual std::wstring GetDevicePath() = 0;
  // The device's open file handle after a successful Init;
  // INVALID_HANDLE_VALUE before and after UnInit.
  virtual HANDLE GetDeviceHandle() = 0;
  // Joins an ended frame thread, if any, and starts a new one. Always true.
  virtual bool Start() = 0;
  // True from Start until the frame thread has stopped.
  virtual bool IsImageThreadRunning() = 0;
  // Whether the virtual monitor is in use, as the library reports it.
  virtual bool IsMonitorActive() = 0;
};
