// CMonitorProcessor: set-up and teardown on the main thread; the frame loop
// and the listener operations on the frame thread.
#include "MonitorProcessor.h"

#include <chrono>
#include <cstring>
#include <new>

#include "CustomJpeg.h"
#include "DefaultEdid.h"
#include "LogFile.h"
#include "LogText.h"
#include "QuantTablePayload.h"
#include "WinUSB.h"

namespace {

// Microsoft's documentation of QueryPerformanceFrequency: the counter's
// frequency is fixed at boot, the same on every processor, and the call
// cannot fail from Windows XP on; so it is read once per processor.
int64_t CounterFrequency() {
  LARGE_INTEGER f;
  return ::QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1;
}

int64_t CounterNow() {
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return t.QuadPart;
}

}  // namespace

CMonitorProcessor::CMonitorProcessor(IMonitorProcessor::Delegate* pDelegate)
    : m_edid{},
      m_hMonitor(0),
      m_bStop(false),
      m_curRes{0, 0},
      m_bJpegReady(false),
      m_jpegRes{0, 0},
      m_jpegBufferSize(0),
      m_bThreadEnded(true),
      m_pDelegate(pDelegate),
      m_stats(CounterFrequency(), CounterFrequency() * kStatsIntervalSeconds),
      m_bStatsToLog(false) {}

CMonitorProcessor::~CMonitorProcessor() { UnInit(); }

// ---- Main thread -------------------------------------------------------------

bool CMonitorProcessor::Init(const wchar_t* szDevPath) {
  if (!szDevPath) {
    LOG_ERROR("szDevPath is null\n");
    return false;
  }
  if (!InitWinUsb(szDevPath)) {
    UnInit();
    return false;
  }
  if (!GetEdid()) {
    LOG_ERROR("GetEdid failed so use the default Edid\n");
    // Only the base block is replaced; the rest of the buffer keeps what it held.
    std::memcpy(m_edid, g_defaultEdid, kDefaultEdidSize);
  }
  m_hMonitor = ::CreateMonitorDevice();
  if (m_hMonitor == 0) {
    LOG_ERROR("CreateMonitorDevice failed\n");
    UnInit();
    return false;
  }
  if (::PlugInMonitor(m_hMonitor, m_edid, kEdidBufferSize) != 0) {
    LOG_ERROR("PlugInMonitor failed\n");
    UnInit();
    return false;
  }
  m_strDevPath = szDevPath;
  LOG_INFO("Init succ path is %S\n", LogText(szDevPath).c_str());
  return true;
}

bool CMonitorProcessor::InitWinUsb(const wchar_t* szDevPath) {
  // Identification only: Microsoft's documentation of CreateFileW says a
  // server behind the path (a named pipe) may otherwise impersonate this
  // SYSTEM process; with SECURITY_IDENTIFICATION it can only learn who we are.
  HANDLE hFile = ::CreateFileW(
      szDevPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();  // before logging can change it
    LOG_ERROR(" CreateFile failed err is %d\n", static_cast<int>(err));
    return false;
  }
  m_hDevice.Reset(hFile);
  m_pWinUsb.reset();
  m_pWinUsb.reset(new (std::nothrow) WinUSB());
  if (!m_pWinUsb) {
    LOG_ERROR("new WinUSB failed\n");
    return false;
  }
  if (!m_pWinUsb->SetHandle(m_hDevice.Get())) {
    LOG_ERROR("winsub SetHandle failed\n");
    return false;
  }
  return true;
}

bool CMonitorProcessor::GetEdid() {
  uint16_t size = 0;
  if (!m_pWinUsb->GetEDIDSize(&size)) {
    LOG_ERROR("GetEDIDSize failed\n");
    return false;
  }
  LOG_ERROR("GetEDIDSize succ size is %d\n", static_cast<int>(size));
  // The size comes from the device: the second block is read to end at byte
  // `size`, so only 128..256 keeps both blocks inside the buffer.
  if (size < kEdidBlockSize || size > kEdidBufferSize) {
    LOG_ERROR("EDID size %d is outside 128..256\n", static_cast<int>(size));
    return false;
  }
  if (!m_pWinUsb->GetEDIDData(m_edid, 1)) {
    LOG_ERROR("GetEDIDData1 failed\n");
    return false;
  }
  if (!m_pWinUsb->GetEDIDData(m_edid + size - kEdidBlockSize, 2)) {
    LOG_ERROR("GetEDIDData2 failed\n");
    return false;
  }
  return true;
}

std::wstring CMonitorProcessor::GetDevicePath() { return m_strDevPath; }

bool CMonitorProcessor::Start() {
  if (m_imageThread.joinable()) m_imageThread.join();
  // The stop flag is cleared here, before the thread exists, rather than by
  // the new thread itself: an UnInit that follows at once then always finds
  // the thread's flag cleared and its own stop request stands.
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = false;
    m_bThreadEnded = false;
  }
  try {
    m_imageThread = std::thread([this] {
      LOG_INFO("Start image thread\n");
      FrameLoop();
      LOG_INFO("Stop image thread\n");
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bThreadEnded = true;
      }
      // UnInit joins only after it saw the flag, so the processor outlives this.
      m_threadEnded.notify_all();
    });
  } catch (...) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    m_bThreadEnded = true;
    throw;
  }
  // Only a thread that was created has figures to report at teardown.
  m_bStatsToLog = true;
  return true;
}

bool CMonitorProcessor::IsImageThreadRunning() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return !m_bStop;
}

bool CMonitorProcessor::IsMonitorActive() { return m_hMonitor != 0 && ::IsMonitorActive(m_hMonitor) != 0; }

bool CMonitorProcessor::UnInit() {
  LOG_INFO("Enter UnInit\n");
  // Set before the cancel, so the loop ends whatever the wait then returns.
  m_bStop = true;
  CancelWaitUntilThreadEnded();
  // The frame thread's stop sequence sets the device to 0 x 0 while the USB
  // link is still open.
  if (m_imageThread.joinable()) m_imageThread.join();
  m_pWinUsb.reset();
  m_hDevice.Reset();
  if (m_hMonitor != 0) {
    ::PlugOutMonitor(m_hMonitor);
    ::DestroyMonitorDevice(m_hMonitor);
    m_hMonitor = 0;
  }
  m_pJpeg.reset();
  m_bJpegReady = false;
  m_pJpegBuffer.reset();
  m_jpegBufferSize = 0;
  if (m_bStatsToLog) {
    m_bStatsToLog = false;
    LogFrameStats();
  }
  return true;
}

void CMonitorProcessor::CancelWaitUntilThreadEnded() {
  if (m_hMonitor == 0) return;
  // A cancel that finds no wait blocked is lost: the frame thread may be
  // between its stop check and its next WaitforFrameChange, or working on a
  // frame. Repeating the cancel until the thread has ended reaches that next
  // wait too. Without a thread (never started, or ended on its own) this is
  // one cancel. The library is called without the processor mutex.
  std::unique_lock<std::mutex> lock(m_mutex);
  do {
    lock.unlock();
    ::CancelWaitFrameChange(m_hMonitor);
    lock.lock();
  } while (
      !m_threadEnded.wait_for(lock, std::chrono::milliseconds(kCancelRepeatMs), [this] { return m_bThreadEnded; }));
}

// ---- Frame thread ------------------------------------------------------------

void CMonitorProcessor::FrameLoop() {
  while (!m_bStop) {
    if (!WaitFrameUpdate()) break;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bStop = true;
  m_curRes = {0, 0};
  TurnOffTablet();
}

bool CMonitorProcessor::WaitFrameUpdate() {
  int attempts = kNothingNewAttempts;
  for (;;) {
    int r = ::WaitforFrameChange(m_hMonitor, this);
    if (r == kAuvexWaitDelivered) return true;
    if (r != kAuvexWaitNothingNew) {
      LOG_ERROR("error is %d\n", r);
      return false;
    }
    // A cancelled wait may end with 2: once a stop is requested, waiting
    // again would hold UnInit for up to four more full waits.
    if (m_bStop) return false;
    ::Sleep(kNothingNewSleepMs);
    // A stop requested during the pause cancelled no wait (none was
    // blocked): the next wait would run its full length.
    if (--attempts == 0 || m_bStop) return false;
  }
}

void CMonitorProcessor::OnImageChange(const ImageData* pImageData) noexcept {
  // Zero or negative sizes, and rows shorter than the frame's width, cannot
  // be encoded without reading outside the frame.
  if (!pImageData || pImageData->width <= 0 || pImageData->height <= 0 || pImageData->pitch <= 0 || !pImageData->data ||
      pImageData->pitch / 4 < pImageData->width) {
    LOG_INFO("imageData data is invalid\n");
    return;
  }
  if (!m_pWinUsb) return;  // no device link: Init did not succeed
  // An encoder or buffer left unready by a failed change is set up again
  // even for a frame of the stored size, which would otherwise be dropped
  // until the size changed; so is an encoder left at another size by a
  // change that failed at the device (it would read past this frame).
  const bool encoderFits = pImageData->width == m_jpegRes.width && pImageData->height == m_jpegRes.height;
  if (pImageData->width != m_curRes.width || pImageData->height != m_curRes.height || !m_bJpegReady || !m_pJpegBuffer ||
      !encoderFits)
    OnResolutionChange({pImageData->width, pImageData->height});
  // A resolution change that failed before the encoder and the output buffer
  // were ready for this size has logged why; the frame is dropped.
  if (!m_bJpegReady || !m_pJpegBuffer || pImageData->width != m_jpegRes.width || pImageData->height != m_jpegRes.height)
    return;

  // Counter reads on the frame thread: no allocation, no lock.
  const int64_t encodeStart = CounterNow();
  uint32_t len = m_pJpeg->Encode(pImageData->data, pImageData->pitch, m_pJpegBuffer.get());
  if (len == 0) return;
  const int64_t writeStart = CounterNow();
  FrameSample sample{writeStart - encodeStart, 0, len, false, 0};
  uint32_t transferred = 0;
  if (m_pWinUsb->Write(m_pJpegBuffer.get(), len, &transferred)) {
    sample.written = transferred >= len;
    if (!sample.written) {
      sample.failedWrites = 1;
      LOG_ERROR("m_pWinUsb->Write writelen %d actlen %d\n", static_cast<int>(len), static_cast<int>(transferred));
    }
  } else {
    // The device may have lost its mode: tell it again, then write once more.
    TurnOnTablet(m_curRes);
    transferred = 0;
    sample.written = m_pWinUsb->Write(m_pJpegBuffer.get(), len, &transferred) && transferred >= len;
    sample.failedWrites = sample.written ? 1 : 2;
    LOG_ERROR("m_pWinUsb->Write failed\n");
  }
  const int64_t writeEnd = CounterNow();
  sample.writeTicks = writeEnd - writeStart;
  m_stats.Add(sample);
  if (m_stats.LineDue(writeEnd)) LogFrameStats();
}

void CMonitorProcessor::LogFrameStats() {
  const FrameStatsSummary s = m_stats.Summary();
  LOG_INFO(
      "frame stats: encoded %u written %u bytes %llu encode ms mean %.3f worst %.3f "
      "write ms mean %.3f worst %.3f failed writes %u path %S\n",
      static_cast<unsigned>(s.encoded), static_cast<unsigned>(s.written), static_cast<unsigned long long>(s.bytes),
      s.encodeMeanMs, s.encodeWorstMs, s.writeMeanMs, s.writeWorstMs, static_cast<unsigned>(s.failedWrites),
      m_strDevPath.c_str());
}

void CMonitorProcessor::OnMonitorActiveChange(bool active) noexcept {
  if (!active) TurnOffTablet();
}

void CMonitorProcessor::OnReservedEvent1(uint32_t) noexcept {}

void CMonitorProcessor::OnReservedEvent2(uint32_t) noexcept {}

bool CMonitorProcessor::OnResolutionChange(Resolution res) {
  LOG_INFO("OnResolutionChange (%d,%d)\n", res.width, res.height);
  if (!m_pJpeg) {
    m_pJpeg.reset(new (std::nothrow) jpeg::CustomJpeg());
    if (!m_pJpeg) {
      LOG_ERROR("new CustomJpeg failed\n");
      return false;
    }
    m_bJpegReady = m_pJpeg->Init(res.width, res.height);
    if (!m_bJpegReady) {
      LOG_ERROR("jpeg init failed\n");
      return false;
    }
  } else {
    m_bJpegReady = m_pJpeg->Resize(res.width, res.height);
    if (!m_bJpegReady) {
      LOG_ERROR("jpeg resize failed\n");
      return false;
    }
  }
  // Sized from the encoder's bound for this size (which already counts the
  // byte after the frame that Write sends), not from width * height * 4: a
  // small frame's stream can be larger than its pixels.
  // Zero-filled: the byte Write sends after the frame is never stale heap.
  m_pJpegBuffer.reset();
  m_jpegBufferSize = m_pJpeg->MaxEncodedSize();
  m_pJpegBuffer.reset(new (std::nothrow) uint8_t[m_jpegBufferSize]());
  if (!m_pJpegBuffer) {
    m_jpegBufferSize = 0;
    LOG_ERROR("new jpeg buffer failed\n");
    return false;
  }
  m_jpegRes = res;
  if (!TurnOnTablet(res)) return false;
  m_curRes = res;
  return true;
}

bool CMonitorProcessor::TurnOnTablet(Resolution res) {
  if (!m_pWinUsb || !m_pJpeg) return false;  // only after a successful Init and a first frame
  if (!m_pWinUsb->SetResolution(res.width, res.height)) {
    LOG_ERROR("m_pWinUsb->SetResolution failed\n");
    return false;
  }
  const jpeg::QuantTablePayload payload = jpeg::BuildQuantTablePayload(*m_pJpeg);
  if (!m_pWinUsb->SetQuantTable(payload.data(), static_cast<uint32_t>(payload.size()), 1)) {
    LOG_ERROR("m_pWinUsb->SetQuantTable failed\n");
    return false;
  }
  return true;
}

void CMonitorProcessor::TurnOffTablet() {
  if (m_pWinUsb && !m_pWinUsb->SetResolution(0, 0)) LOG_ERROR("SetResolution failed\n");
}
