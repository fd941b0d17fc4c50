// CMonitorProcessor: one attached USB display device. Owns the device's USB
// link, its virtual monitor, its encoder and output buffer, and the frame
// thread that waits for frame changes, encodes every changed frame and writes
// it to the device's bulk pipe.
//
// Threads: the main thread constructs, calls every IMonitorProcessor
// operation and destroys. The frame thread runs the frame loop; libAuvex
// calls the IMonitorUpdateListener operations on it while it waits. Locks,
// always in this order: the processor mutex, the USB device mutex (inside
// WinUSB), the log's mutex.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Auvex.h"
#include "FrameStats.h"
#include "IMonitorProcessor.h"
#include "ScopedHandle.h"

class WinUSB;
namespace jpeg {
class CustomJpeg;
}

struct Resolution {
  int32_t width;
  int32_t height;
};

class CMonitorProcessor final : public IMonitorProcessor, public IMonitorUpdateListener {
 public:
  // EDID buffer handed to PlugInMonitor; the device's EDID fills at most all of it.
  static constexpr int kEdidBufferSize = 256;
  static constexpr int kEdidBlockSize = 128;
  // WaitforFrameChange results of 2 in a row that end the frame thread, and
  // the pause after each.
  static constexpr int kNothingNewAttempts = 5;
  static constexpr DWORD kNothingNewSleepMs = 100;
  // How often UnInit repeats CancelWaitFrameChange until the frame thread
  // has ended: the library only releases a wait blocked at that moment.
  static constexpr int kCancelRepeatMs = 10;
  // Least time between two frame statistics lines while frames flow.
  static constexpr int kStatsIntervalSeconds = 60;

  explicit CMonitorProcessor(IMonitorProcessor::Delegate* pDelegate);
  ~CMonitorProcessor() override;
  CMonitorProcessor(const CMonitorProcessor&) = delete;
  CMonitorProcessor& operator=(const CMonitorProcessor&) = delete;

  // IMonitorProcessor (main thread).
  bool Init(const wchar_t* szDevPath) override;
  std::wstring GetDevicePath() override;
  HANDLE GetDeviceHandle() override { return m_hDevice.Get(); }
  bool Start() override;
  bool IsImageThreadRunning() override;
  bool IsMonitorActive() override;

  // IMonitorUpdateListener (frame thread, inside WaitforFrameChange).
  void OnImageChange(const ImageData* pImageData) noexcept override;
  void OnMonitorActiveChange(bool active) noexcept override;
  void OnReservedEvent1(uint32_t value) noexcept override;
  void OnReservedEvent2(uint32_t value) noexcept override;

  bool InitWinUsb(const wchar_t* szDevPath);
  bool GetEdid();
  // Stops the frame thread and releases everything; safe to call again.
  bool UnInit();
  void TurnOffTablet();
  bool TurnOnTablet(Resolution res);
  bool OnResolutionChange(Resolution res);
  bool WaitFrameUpdate();

 private:
  void FrameLoop();
  // UnInit: cancels the library's wait, again and again, until the frame
  // thread (if one was started) has ended.
  void CancelWaitUntilThreadEnded();
  // One INFO line with the frame statistics (frame thread, or after its join).
  void LogFrameStats();

  CScopedFile m_hDevice;  // the device interface; closed once, by UnInit
  std::unique_ptr<WinUSB> m_pWinUsb;
  std::wstring m_strDevPath;
  uint8_t m_edid[kEdidBufferSize];
  AuvexMonitor m_hMonitor;
  std::thread m_imageThread;
  std::atomic<bool> m_bStop;
  Resolution m_curRes;  // last resolution made effective on the device
  std::unique_ptr<jpeg::CustomJpeg> m_pJpeg;
  // True while the encoder's last Init or Resize succeeded: Encode may run.
  bool m_bJpegReady;
  // The frame size the encoder and the output buffer were last set up for.
  // It differs from m_curRes after a change that failed at the device, and
  // the encoder may only read frames of exactly this size.
  Resolution m_jpegRes;
  std::unique_ptr<uint8_t[]> m_pJpegBuffer;
  uint32_t m_jpegBufferSize;
  std::mutex m_mutex;
  // Under m_mutex: false from Start until the frame thread's last step;
  // m_threadEnded is notified when it becomes true.
  bool m_bThreadEnded;
  std::condition_variable m_threadEnded;
  IMonitorProcessor::Delegate* m_pDelegate;
  // Frame thread only (and UnInit after the join): no lock.
  CFrameStats m_stats;
  bool m_bStatsToLog;  // a frame thread ran since the last teardown line
};
