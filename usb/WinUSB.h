// ClientUSB over the WinUSB API for one device interface. SetHandle binds the
// device file that the monitor processor opened (and keeps owning), finds the
// first vendor-specific interface and the endpoint described right after it,
// and bounds bulk writes with a 1000 ms pipe time-out.
//
// Threads: SetHandle and the EDID reads run on the main thread before the
// frame thread starts; the frame thread then sets the resolution, loads the
// tables and writes frames. Every transfer holds the device mutex on its own
// (it is not recursive and is never held across two transfers).
#pragma once

#include <windows.h>
#include <winusb.h>
#include <usbspec.h>

#include <cstddef>
#include <mutex>

#include "ClientUSB.h"
#include "ScopedHandle.h"

class WinUSB final : public ClientUSB {
 public:
  // Bulk transfers time out after this long, so a stalled frame write ends.
  static constexpr ULONG kPipeTimeoutMs = 1000;
  // SetResolution waits this long after its last transfer for the device.
  static constexpr DWORD kResolutionPauseMs = 30;

  WinUSB();
  ~WinUSB() override;
  WinUSB(const WinUSB&) = delete;
  WinUSB& operator=(const WinUSB&) = delete;

  // Binds hFile (not taken over: the caller closes it after deleting this
  // object). False when hFile is invalid, WinUsb_Initialize fails or the pipe
  // time-out cannot be read or set. Call once per object.
  bool SetHandle(HANDLE hFile);

  bool GetState(uint8_t* pState) override;
  bool GetEDIDSize(uint16_t* pSize) override;
  bool GetEDIDData(uint8_t* pBlock, uint16_t block) override;
  bool ReadData43(uint8_t* pBuffer, uint32_t length) override;
  bool SetResolution(int32_t width, int32_t height) override;
  bool SetQuantTable(const uint8_t* pData, uint32_t length, uint16_t value) override;
  bool SetValue82(uint16_t value) override;
  bool Write(const uint8_t* pData, uint32_t length, uint32_t* pTransferred) override;
  uint8_t GetUsbMajorVersion() override;
  bool Command84() override;
  bool SetValue8B(uint16_t value) override;
  bool GetValue44(uint8_t* pBuffer) override;
  bool ReadData45(uint8_t* pBuffer, uint32_t length) override;
  bool SetConfiguration(uint16_t value) override;

 private:
  bool ReadDescriptors();
  bool ControlTransfer(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* pData,
                       uint32_t length);
  bool VendorIn(uint8_t bRequest, uint16_t wValue, uint8_t* pData, uint32_t length);
  bool VendorOut(uint8_t bRequest, uint16_t wValue, const uint8_t* pData, uint32_t length);

  bool m_bOpen;
  CScopedWinUsbInterface m_hInterface;
  HANDLE m_hDeviceFile;
  USB_DEVICE_DESCRIPTOR m_deviceDesc;
  USB_CONFIGURATION_DESCRIPTOR m_configDesc;
  USB_INTERFACE_DESCRIPTOR m_interfaceDesc;
  USB_ENDPOINT_DESCRIPTOR m_endpointDesc;
  std::mutex m_mutex;
};
