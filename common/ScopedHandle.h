// One move-only owner for every kind of Windows handle the program holds.
// A traits class per handle kind says which value means "no handle" and how
// the handle is released; CScopedHandle releases it exactly once, on Reset or
// destruction, on whichever thread owns the wrapper. Not thread-safe itself:
// a wrapper belongs to one owner, like the raw handle it replaces.
#pragma once

#include <windows.h>
#include <winusb.h>

#include <utility>

// File and device handles from CreateFileW: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

// Events, threads, mutexes and other kernel objects: null means none.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

// Device notification registrations from RegisterDeviceNotificationW.
struct DevNotifyTraits {
  using Handle = HDEVNOTIFY;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::UnregisterDeviceNotification(h); }
};

// Interface handles from WinUsb_Initialize.
struct WinUsbInterfaceTraits {
  using Handle = WINUSB_INTERFACE_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::WinUsb_Free(h); }
};

// Modules from LoadLibraryW.
struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};

template <class Traits>
class CScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  CScopedHandle() noexcept : m_h(Traits::Invalid()) {}
  explicit CScopedHandle(Handle h) noexcept : m_h(h) {}
  ~CScopedHandle() { Reset(); }

  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;

  CScopedHandle(CScopedHandle&& other) noexcept : m_h(other.Release()) {}
  CScopedHandle& operator=(CScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  Handle Get() const noexcept { return m_h; }
  bool IsValid() const noexcept { return m_h != Traits::Invalid(); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Gives the handle up without releasing it.
  Handle Release() noexcept { return std::exchange(m_h, Traits::Invalid()); }

  // Releases the current handle (if any) and takes ownership of h.
  void Reset(Handle h = Traits::Invalid()) noexcept {
    Handle old = std::exchange(m_h, h);
    if (old != Traits::Invalid() && old != h) Traits::Close(old);
  }

  // For APIs that return a handle through an out parameter: releases the
  // current handle first so that nothing leaks when the slot is overwritten.
  Handle* Receive() noexcept {
    Reset();
    return &m_h;
  }

 private:
  Handle m_h;
};

using CScopedFile = CScopedHandle<FileHandleTraits>;
using CScopedKernelHandle = CScopedHandle<KernelHandleTraits>;
using CScopedDevNotify = CScopedHandle<DevNotifyTraits>;
using CScopedWinUsbInterface = CScopedHandle<WinUsbInterfaceTraits>;
using CScopedModule = CScopedHandle<ModuleTraits>;
