// The stand-in libAuvex DLL: virtual monitors kept by handle, each with the
// preferred mode of the EDID it was plugged in with, a frame source that
// delivers frames at a steady rate to the thread waiting in
// WaitforFrameChange, scripted events for tests (AuvexTestControl.h).
//
// Threads: any thread may call any function. One registry mutex guards the
// handle table and the process-wide settings; each monitor has its own mutex
// and condition variable that the waiting thread sleeps on. Listener calls
// and frame rendering happen on the waiting thread with no lock held, so the
// main thread can cancel, plug out or script at any time. Monitors are
// shared_ptrs: destroying a handle while a thread still waits on it leaves
// that thread a valid object to return from.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AuvexTestControl.h"
#include "FrameSource.h"

namespace auvex {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultFrameRate = 30;
constexpr int kDefaultWaitMs = 500;
constexpr int kFallbackWidth = 1024;
constexpr int kFallbackHeight = 768;

struct ScriptedEvent {
  enum Kind { kResult, kImage, kActive, kReserved1, kReserved2 } kind;
  int value = 0;
  ImageData image{};
};

struct Monitor {
  AuvexMonitor handle = 0;
  std::mutex mutex;
  std::condition_variable changed;
  bool plugged = false;
  bool destroyed = false;
  bool active = false;
  bool cancelPending = false;       // a cancel is remembered until a wait consumes it
  bool keepUnclaimedCancel = true;  // false: a cancel with no wait blocked is lost
  bool waiting = false;
  int width = 0;
  int height = 0;
  int rowPadding = 0;
  int fps = kDefaultFrameRate;
  int waitMs = kDefaultWaitMs;
  std::deque<ScriptedEvent> events;
  std::shared_ptr<FrameSource> source = std::make_shared<SyntheticDesktop>();
  Clock::time_point nextFrame{};
  uint64_t frameIndex = 0;
  AuvexTestMonitorInfo counters{};
  std::vector<uint8_t> frame;  // the delivered pixels; touched only by the waiting thread
};

struct Registry {
  std::mutex mutex;
  std::map<AuvexMonitor, std::shared_ptr<Monitor>> monitors;
  AuvexMonitor nextHandle = 1;
  int defaultFps = kDefaultFrameRate;
  int defaultWaitMs = kDefaultWaitMs;
  int failCreate = 0;
  int failPlugIn = 0;
  int failPlugInResult = 1;
  AuvexTestCallHook hook = nullptr;
  void* hookContext = nullptr;
  int installs = 0;
  int uninstalls = 0;
};

Registry& Reg() {
  static Registry s_registry;
  return s_registry;
}

std::shared_ptr<Monitor> Find(AuvexMonitor handle) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto it = reg.monitors.find(handle);
  return it == reg.monitors.end() ? nullptr : it->second;
}

void CallHook(const char* function, AuvexMonitor handle) {
  AuvexTestCallHook hook;
  void* context;
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    hook = reg.hook;
    context = reg.hookContext;
  }
  if (hook) hook(function, handle, context);
}

// Preferred mode: the first detailed timing descriptor of the base block
// (bytes 54..71), when the block carries the EDID header and that descriptor
// is a timing (nonzero pixel clock).
void ModeFromEdid(const uint8_t* edid, int size, int* pWidth, int* pHeight) {
  static const uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  *pWidth = kFallbackWidth;
  *pHeight = kFallbackHeight;
  if (size < 128 || std::memcmp(edid, kHeader, 8) != 0) return;
  const uint8_t* d = edid + 54;
  if (d[0] == 0 && d[1] == 0) return;
  int w = d[2] | (d[4] & 0xF0) << 4;
  int h = d[5] | (d[7] & 0xF0) << 4;
  if (w <= 0 || h <= 0 || w > kMaxModeSide || h > kMaxModeSide) return;
  *pWidth = w;
  *pHeight = h;
}

// Frame files named by the environment, read when the monitor is plugged in.
void ApplyEnvironment(Monitor& m) {
  if (const char* rate = std::getenv("AUVEX_FRAME_RATE")) {
    int fps = std::atoi(rate);
    if (fps >= 0 && fps <= 1000) m.fps = fps;
  }
  const char* files = std::getenv("AUVEX_FRAME_FILES");
  if (!files || !*files) return;
  std::vector<std::string> paths;
  std::string all(files);
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(';', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) paths.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  int w = m.width, h = m.height;
  if (const char* size = std::getenv("AUVEX_FRAME_SIZE")) {
    int sw = 0, sh = 0;
    if (std::sscanf(size, "%dx%d", &sw, &sh) == 2) {
      w = sw;
      h = sh;
    }
  }
  std::string error;
  if (auto source = RawFileFrames::Load(paths, w, h, &error)) m.source = std::move(source);
}

// Runs one event or frame for the waiting thread. Called with `lock` held;
// releases it around the listener call.
int Deliver(Monitor& m, std::unique_lock<std::mutex>& lock, IMonitorUpdateListener* listener) {
  if (!m.events.empty()) {
    ScriptedEvent ev = m.events.front();
    m.events.pop_front();
    if (ev.kind == ScriptedEvent::kResult) {
      if (ev.value == kAuvexWaitNothingNew) ++m.counters.nothingNew;
      return ev.value;
    }
    lock.unlock();
    switch (ev.kind) {
      case ScriptedEvent::kImage:
        listener->OnImageChange(&ev.image);
        break;
      case ScriptedEvent::kActive:
        listener->OnMonitorActiveChange(ev.value != 0);
        break;
      case ScriptedEvent::kReserved1:
        listener->OnReservedEvent1(static_cast<uint32_t>(ev.value));
        break;
      case ScriptedEvent::kReserved2:
        listener->OnReservedEvent2(static_cast<uint32_t>(ev.value));
        break;
      default:
        break;
    }
    lock.lock();
    if (ev.kind == ScriptedEvent::kImage) ++m.counters.framesDelivered;
    return kAuvexWaitDelivered;
  }

  // A frame of the source, rendered without the lock.
  std::shared_ptr<FrameSource> source = m.source;
  uint64_t index = m.frameIndex++;
  int width, height;
  source->FrameSize(m.width, m.height, &width, &height);
  int pitch = width * 4 + m.rowPadding;
  lock.unlock();
  size_t bytes = static_cast<size_t>(pitch) * height;
  if (m.frame.size() < bytes) m.frame.resize(bytes);
  source->Render(index, width, height, pitch, m.frame.data());
  ImageData image{width, height, pitch, m.frame.data()};
  listener->OnImageChange(&image);
  lock.lock();
  ++m.counters.framesDelivered;
  return kAuvexWaitDelivered;
}

int Wait(Monitor& m, IMonitorUpdateListener* listener) {
  std::unique_lock<std::mutex> lock(m.mutex);
  if (m.destroyed) return kAuvexWaitBadHandle;
  if (!m.plugged) return kAuvexWaitNotPlugged;
  if (m.waiting) return kAuvexWaitBusy;
  m.waiting = true;
  ++m.counters.waits;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m.waitMs);
  int result;
  for (;;) {
    if (m.destroyed) {
      result = kAuvexWaitBadHandle;
      break;
    }
    if (!m.plugged) {
      result = kAuvexWaitNotPlugged;
      break;
    }
    if (m.cancelPending) {
      m.cancelPending = false;
      ++m.counters.nothingNew;
      result = kAuvexWaitNothingNew;
      break;
    }
    Clock::time_point now = Clock::now();
    Clock::time_point wake = deadline;
    if (!m.events.empty()) {
      result = Deliver(m, lock, listener);
      break;
    }
    if (m.active && m.fps > 0) {
      const auto period = std::chrono::microseconds(1000000 / m.fps);
      if (now >= m.nextFrame) {
        // Steady rate; a consumer that fell behind gets the next frame now
        // rather than a burst of late ones.
        m.nextFrame = (m.nextFrame + period < now) ? now + period : m.nextFrame + period;
        result = Deliver(m, lock, listener);
        break;
      }
      if (m.nextFrame < wake) wake = m.nextFrame;
    }
    if (now >= deadline) {
      ++m.counters.nothingNew;
      result = kAuvexWaitNothingNew;
      break;
    }
    m.changed.wait_until(lock, wake);
  }
  m.waiting = false;
  m.changed.notify_all();
  return result;
}

// Applies `fn` to a monitor under its lock and wakes its waiter; 0 for an
// unknown handle.
template <typename Fn>
int WithMonitor(AuvexMonitor handle, Fn fn) {
  std::shared_ptr<Monitor> m = Find(handle);
  if (!m) return 0;
  std::lock_guard<std::mutex> lock(m->mutex);
  if (m->destroyed) return 0;
  int result = fn(*m);
  m->changed.notify_all();
  return result;
}

int QueueEvent(AuvexMonitor handle, const ScriptedEvent& ev) {
  return WithMonitor(handle, [&](Monitor& m) {
    m.events.push_back(ev);
    return 1;
  });
}

}  // namespace
}  // namespace auvex

using namespace auvex;

// ---- The library's own functions --------------------------------------------

AUVEX_API AuvexMonitor AUVEX_CALL CreateMonitorDevice() {
  CallHook("CreateMonitorDevice", 0);
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (reg.failCreate > 0) {
    --reg.failCreate;
    return 0;
  }
  auto m = std::make_shared<Monitor>();
  m->handle = reg.nextHandle++;
  if (reg.nextHandle == 0) reg.nextHandle = 1;
  m->fps = reg.defaultFps;
  m->waitMs = reg.defaultWaitMs;
  reg.monitors[m->handle] = m;
  return m->handle;
}

AUVEX_API int AUVEX_CALL PlugInMonitor(AuvexMonitor hMonitor, const uint8_t* pEdid, int size) {
  CallHook("PlugInMonitor", hMonitor);
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (reg.failPlugIn > 0) {
      --reg.failPlugIn;
      return reg.failPlugInResult;
    }
  }
  if (!pEdid || size < 128 || size > 256) return 1;
  std::shared_ptr<Monitor> m = Find(hMonitor);
  if (!m) return 1;
  std::lock_guard<std::mutex> lock(m->mutex);
  if (m->destroyed || m->plugged) return 1;
  std::memcpy(m->counters.edid, pEdid, static_cast<size_t>(size));
  m->counters.edidSize = size;
  ModeFromEdid(pEdid, size, &m->width, &m->height);
  ApplyEnvironment(*m);
  m->plugged = true;
  m->active = true;
  m->nextFrame = Clock::now();
  m->changed.notify_all();
  return 0;
}

AUVEX_API int AUVEX_CALL WaitforFrameChange(AuvexMonitor hMonitor, IMonitorUpdateListener* pListener) {
  CallHook("WaitforFrameChange", hMonitor);
  std::shared_ptr<Monitor> m = Find(hMonitor);
  if (!m || !pListener) return kAuvexWaitBadHandle;
  return Wait(*m, pListener);
}

AUVEX_API int AUVEX_CALL CancelWaitFrameChange(AuvexMonitor hMonitor) {
  CallHook("CancelWaitFrameChange", hMonitor);
  return WithMonitor(hMonitor, [](Monitor& m) {
    if (m.waiting || m.keepUnclaimedCancel) m.cancelPending = true;
    ++m.counters.cancels;
    return 0;
  });
}

AUVEX_API int AUVEX_CALL IsMonitorActive(AuvexMonitor hMonitor) {
  CallHook("IsMonitorActive", hMonitor);
  return WithMonitor(hMonitor, [](Monitor& m) { return m.plugged && m.active ? 1 : 0; });
}

AUVEX_API int AUVEX_CALL PlugOutMonitor(AuvexMonitor hMonitor) {
  CallHook("PlugOutMonitor", hMonitor);
  return WithMonitor(hMonitor, [](Monitor& m) {
    m.plugged = false;
    m.active = false;
    return 0;
  });
}

AUVEX_API int AUVEX_CALL DestroyMonitorDevice(AuvexMonitor hMonitor) {
  CallHook("DestroyMonitorDevice", hMonitor);
  std::shared_ptr<Monitor> m;
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.monitors.find(hMonitor);
    if (it == reg.monitors.end()) return 1;
    m = it->second;
    reg.monitors.erase(it);
  }
  std::lock_guard<std::mutex> lock(m->mutex);
  m->destroyed = true;
  m->plugged = false;
  m->changed.notify_all();
  return 0;
}

AUVEX_API int AUVEX_CALL InstallHook() {
  CallHook("InstallHook", 0);
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  ++reg.installs;
  return 0;
}

AUVEX_API int AUVEX_CALL UnInstallHook() {
  CallHook("UnInstallHook", 0);
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  ++reg.uninstalls;
  return 0;
}

// ---- Test control ------------------------------------------------------------

AUVEX_API void AUVEX_CALL AuvexTest_Reset() {
  std::map<AuvexMonitor, std::shared_ptr<Monitor>> old;
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    old.swap(reg.monitors);
    reg.defaultFps = kDefaultFrameRate;
    reg.defaultWaitMs = kDefaultWaitMs;
    reg.failCreate = 0;
    reg.failPlugIn = 0;
    reg.failPlugInResult = 1;
    reg.hook = nullptr;
    reg.hookContext = nullptr;
    reg.installs = 0;
    reg.uninstalls = 0;
  }
  for (auto& [handle, m] : old) {
    std::lock_guard<std::mutex> lock(m->mutex);
    m->destroyed = true;
    m->plugged = false;
    m->changed.notify_all();
  }
}

AUVEX_API int AUVEX_CALL AuvexTest_GetMonitors(AuvexMonitor* pHandles, int capacity) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  int n = 0;
  for (auto& [handle, m] : reg.monitors) {
    if (pHandles && n < capacity) pHandles[n] = handle;
    ++n;
  }
  return n;
}

AUVEX_API int AUVEX_CALL AuvexTest_GetMonitorInfo(AuvexMonitor hMonitor, AuvexTestMonitorInfo* pInfo) {
  if (!pInfo) return 0;
  return WithMonitor(hMonitor, [&](Monitor& m) {
    *pInfo = m.counters;
    pInfo->plugged = m.plugged;
    pInfo->active = m.plugged && m.active;
    pInfo->width = m.width;
    pInfo->height = m.height;
    pInfo->waiting = m.waiting;
    return 1;
  });
}

AUVEX_API void AUVEX_CALL AuvexTest_SetDefaultTiming(int framesPerSecond, int waitMs) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (framesPerSecond >= 0 && framesPerSecond <= 1000) reg.defaultFps = framesPerSecond;
  if (waitMs >= 0) reg.defaultWaitMs = waitMs;
}

AUVEX_API int AUVEX_CALL AuvexTest_SetTiming(AuvexMonitor hMonitor, int framesPerSecond, int waitMs) {
  if (framesPerSecond < 0 || framesPerSecond > 1000 || waitMs < 0) return 0;
  return WithMonitor(hMonitor, [&](Monitor& m) {
    m.fps = framesPerSecond;
    m.waitMs = waitMs;
    m.nextFrame = Clock::now();
    return 1;
  });
}

AUVEX_API int AUVEX_CALL AuvexTest_SetMode(AuvexMonitor hMonitor, int width, int height) {
  if (width <= 0 || height <= 0 || width > kMaxModeSide || height > kMaxModeSide) return 0;
  return WithMonitor(hMonitor, [&](Monitor& m) {
    m.width = width;
    m.height = height;
    return 1;
  });
}

AUVEX_API int AUVEX_CALL AuvexTest_SetRowPadding(AuvexMonitor hMonitor, int bytes) {
  if (bytes < 0 || bytes > 4096) return 0;
  return WithMonitor(hMonitor, [&](Monitor& m) {
    m.rowPadding = bytes;
    return 1;
  });
}

AUVEX_API int AUVEX_CALL AuvexTest_SetCancelKeptForNextWait(AuvexMonitor hMonitor, int keep) {
  return WithMonitor(hMonitor, [&](Monitor& m) {
    m.keepUnclaimedCancel = keep != 0;
    return 1;
  });
}

AUVEX_API int AUVEX_CALL AuvexTest_SetFrameFiles(AuvexMonitor hMonitor, const char* const* paths, int count, int width,
                                                 int height) {
  if (!paths || count <= 0) return 0;
  std::vector<std::string> list;
  for (int i = 0; i < count; ++i) {
    if (!paths[i]) return 0;
    list.emplace_back(paths[i]);
  }
  std::string error;
  std::shared_ptr<FrameSource> source = RawFileFrames::Load(list, width, height, &error);
  if (!source) return 0;
  return WithMonitor(hMonitor, [&](Monitor& m) {
    m.source = source;
    return 1;
  });
}

AUVEX_API int AUVEX_CALL AuvexTest_SetSyntheticFrames(AuvexMonitor hMonitor) {
  return WithMonitor(hMonitor, [](Monitor& m) {
    m.source = std::make_shared<SyntheticDesktop>();
    return 1;
  });
}

AUVEX_API int AUVEX_CALL AuvexTest_SetActive(AuvexMonitor hMonitor, int active) {
  return WithMonitor(hMonitor, [&](Monitor& m) {
    m.active = active != 0;
    ScriptedEvent ev{ScriptedEvent::kActive};
    ev.value = m.active;
    m.events.push_back(ev);
    if (m.active) m.nextFrame = Clock::now();
    return 1;
  });
}

AUVEX_API int AUVEX_CALL AuvexTest_QueueWaitResult(AuvexMonitor hMonitor, int result) {
  ScriptedEvent ev{ScriptedEvent::kResult};
  ev.value = result;
  return QueueEvent(hMonitor, ev);
}

AUVEX_API int AUVEX_CALL AuvexTest_QueueImage(AuvexMonitor hMonitor, int width, int height, int pitch,
                                              const void* pData) {
  ScriptedEvent ev{ScriptedEvent::kImage};
  ev.image = ImageData{width, height, pitch, static_cast<uint8_t*>(const_cast<void*>(pData))};
  return QueueEvent(hMonitor, ev);
}

AUVEX_API int AUVEX_CALL AuvexTest_QueueReservedEvent(AuvexMonitor hMonitor, int which, uint32_t value) {
  if (which != 1 && which != 2) return 0;
  ScriptedEvent ev{which == 1 ? ScriptedEvent::kReserved1 : ScriptedEvent::kReserved2};
  ev.value = static_cast<int>(value);
  return QueueEvent(hMonitor, ev);
}

AUVEX_API void AUVEX_CALL AuvexTest_FailCreateMonitorDevice(int count) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.failCreate = count > 0 ? count : 0;
}

AUVEX_API void AUVEX_CALL AuvexTest_FailPlugInMonitor(int count, int result) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.failPlugIn = count > 0 ? count : 0;
  reg.failPlugInResult = result != 0 ? result : 1;
}

AUVEX_API void AUVEX_CALL AuvexTest_SetCallHook(AuvexTestCallHook hook, void* context) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.hook = hook;
  reg.hookContext = context;
}

AUVEX_API int AUVEX_CALL AuvexTest_GetHookCalls(int* pInstalls, int* pUninstalls) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (pInstalls) *pInstalls = reg.installs;
  if (pUninstalls) *pUninstalls = reg.uninstalls;
  return 1;
}
