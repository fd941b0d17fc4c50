// WinUSB implementation of ClientUSB: binding, descriptor walk, vendor
// requests and the bulk frame write. Runs on the processor's main thread
// (binding, EDID) and on its frame thread (resolution, tables, frames).
#include "WinUSB.h"

#include <cstring>
#include <memory>
#include <new>

#include "UsbDescriptorWalk.h"

namespace {

constexpr uint8_t kVendorIn = 0xC1;   // device to host, vendor, interface
constexpr uint8_t kVendorOut = 0x41;  // host to device, vendor, interface
constexpr uint8_t kStandardOutDevice = 0x00;

constexpr uint8_t kReqGetState = 0x40;
constexpr uint8_t kReqEdid = 0x41;
constexpr uint8_t kReqRead43 = 0x43;
constexpr uint8_t kReqValue44 = 0x44;
constexpr uint8_t kReqRead45 = 0x45;
constexpr uint8_t kReqSetResolution = 0x81;
constexpr uint8_t kReqValue82 = 0x82;
constexpr uint8_t kReqQuantTable = 0x83;
constexpr uint8_t kReqCommand84 = 0x84;
constexpr uint8_t kReqValue8B = 0x8B;
constexpr uint8_t kReqSetConfiguration = 0x09;

constexpr UCHAR kDescriptorDevice = 1;
constexpr UCHAR kDescriptorConfiguration = 2;
// The device reports its configuration under descriptor index 1.
constexpr UCHAR kConfigurationIndex = 1;

constexpr uint32_t kEdidBlockSize = 128;

// Endpoint number 0 is the default control pipe: an endpoint member that
// holds it (cleared, or never filled) names no pipe for frames.
bool IsFramePipe(UCHAR endpointAddress) { return (endpointAddress & 0x0F) != 0; }

// A control transfer's data stage is limited by the setup packet's 16-bit
// wLength.
constexpr uint32_t kMaxControlLength = 0xFFFF;

}  // namespace

WinUSB::WinUSB()
    : m_bOpen(false),
      m_hDeviceFile(INVALID_HANDLE_VALUE),
      m_deviceDesc{},
      m_configDesc{},
      m_interfaceDesc{},
      m_endpointDesc{} {}

WinUSB::~WinUSB() {
  if (m_bOpen) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hInterface.Reset();
  }
  m_bOpen = false;
}

bool WinUSB::SetHandle(HANDLE hFile) {
  if (hFile == INVALID_HANDLE_VALUE || hFile == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (m_bOpen) {
    // One binding per object; a new device link is a new WinUSB.
    SetLastError(ERROR_ALREADY_INITIALIZED);
    return false;
  }
  m_hDeviceFile = hFile;
  if (!WinUsb_Initialize(hFile, m_hInterface.Receive())) return false;
  m_bOpen = true;

  ReadDescriptors();

  // No pipe was found (unreadable descriptors, no endpoint at all, or a
  // vendor interface whose pipe descriptor is incomplete). WinUSB keeps a
  // time-out for the control pipe too, so the policy calls below would not
  // reliably refuse it: refuse the binding here.
  const UCHAR pipe = m_endpointDesc.bEndpointAddress;
  if (!IsFramePipe(pipe)) {
    SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  ULONG timeout = 0;
  ULONG valueLength = sizeof(timeout);
  if (!WinUsb_GetPipePolicy(m_hInterface.Get(), pipe, PIPE_TRANSFER_TIMEOUT, &valueLength, &timeout)) return false;
  timeout = kPipeTimeoutMs;
  // The time-out is a 32-bit value whatever length the query reported.
  if (!WinUsb_SetPipePolicy(m_hInterface.Get(), pipe, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout)) return false;
  return true;
}

bool WinUSB::ReadDescriptors() {
  WINUSB_INTERFACE_HANDLE hInterface = m_hInterface.Get();
  ULONG transferred = 0;

  USB_DEVICE_DESCRIPTOR device{};
  if (!WinUsb_GetDescriptor(hInterface, kDescriptorDevice, 0, 0, reinterpret_cast<PUCHAR>(&device), sizeof(device),
                            &transferred) ||
      transferred != sizeof(device))
    return false;
  m_deviceDesc = device;

  USB_CONFIGURATION_DESCRIPTOR config{};
  if (!WinUsb_GetDescriptor(hInterface, kDescriptorConfiguration, kConfigurationIndex, 0,
                            reinterpret_cast<PUCHAR>(&config), sizeof(config), &transferred) ||
      transferred != sizeof(config))
    return false;
  m_configDesc = config;

  // wTotalLength comes from the device: anything shorter than the header
  // itself cannot hold an interface.
  const ULONG totalLength = config.wTotalLength;
  if (totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return false;

  std::unique_ptr<uint8_t[]> pBuffer(new (std::nothrow) uint8_t[totalLength]);
  if (!pBuffer) return false;
  if (!WinUsb_GetDescriptor(hInterface, kDescriptorConfiguration, kConfigurationIndex, 0, pBuffer.get(), totalLength,
                            &transferred) ||
      transferred != totalLength)
    return false;

  WalkConfigurationDescriptors(pBuffer.get(), transferred, &m_interfaceDesc, &m_endpointDesc);
  return true;
}

bool WinUSB::ControlTransfer(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* pData,
                             uint32_t length) {
  if (length > kMaxControlLength || (length != 0 && pData == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  WINUSB_SETUP_PACKET setup;
  setup.RequestType = bmRequestType;
  setup.Request = bRequest;
  setup.Value = wValue;
  setup.Index = wIndex;
  setup.Length = static_cast<USHORT>(length);

  ULONG transferred = 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  // A short IN transfer still counts as success.
  return WinUsb_ControlTransfer(m_hInterface.Get(), setup, pData, length, &transferred, nullptr) != FALSE;
}

bool WinUSB::VendorIn(uint8_t bRequest, uint16_t wValue, uint8_t* pData, uint32_t length) {
  return ControlTransfer(kVendorIn, bRequest, wValue, m_interfaceDesc.bInterfaceNumber, pData, length);
}

bool WinUSB::VendorOut(uint8_t bRequest, uint16_t wValue, const uint8_t* pData, uint32_t length) {
  // WinUSB does not write to an OUT data stage; its API just is not const.
  return ControlTransfer(kVendorOut, bRequest, wValue, m_interfaceDesc.bInterfaceNumber, const_cast<uint8_t*>(pData),
                         length);
}

bool WinUSB::GetState(uint8_t* pState) {
  if (pState == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const bool ok = VendorIn(kReqGetState, 0, pState, 2);
  pState[1] = 0;
  return ok;
}

bool WinUSB::GetEDIDSize(uint16_t* pSize) {
  if (pSize == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  uint8_t bytes[2] = {0, 0};
  const bool ok = VendorIn(kReqEdid, 0, bytes, sizeof(bytes));
  *pSize = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
  return ok;
}

bool WinUSB::GetEDIDData(uint8_t* pBlock, uint16_t block) {
  if (pBlock == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  uint8_t state[2] = {0, 0};
  if (!GetState(state)) return false;
  return VendorIn(kReqEdid, block, pBlock, kEdidBlockSize);
}

bool WinUSB::ReadData43(uint8_t* pBuffer, uint32_t length) { return VendorIn(kReqRead43, 0, pBuffer, length); }

bool WinUSB::SetResolution(int32_t width, int32_t height) {
  uint8_t state[2] = {0, 0};
  if (!GetState(state)) return false;
  const uint8_t data[4] = {
      static_cast<uint8_t>(width),
      static_cast<uint8_t>(width >> 8),
      static_cast<uint8_t>(height),
      static_cast<uint8_t>(height >> 8),
  };
  if (!VendorOut(kReqSetResolution, 0, data, sizeof(data))) return false;
  if (!GetState(state)) return false;
  // Give the device time to switch modes before the next frame arrives.
  Sleep(kResolutionPauseMs);
  return true;
}

bool WinUSB::SetQuantTable(const uint8_t* pData, uint32_t length, uint16_t value) {
  return VendorOut(kReqQuantTable, value, pData, length);
}

bool WinUSB::SetValue82(uint16_t value) {
  const uint8_t data[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return VendorOut(kReqValue82, value, data, sizeof(data));
}

bool WinUSB::Write(const uint8_t* pData, uint32_t length, uint32_t* pTransferred) {
  if (pTransferred != nullptr) *pTransferred = 0;
  // length + 1 bytes go out: refuse what would wrap or read nothing.
  if (pData == nullptr || length == UINT32_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const UCHAR pipe = m_endpointDesc.bEndpointAddress;
  // Only reachable after a failed binding: there is no pipe to write to.
  if (!IsFramePipe(pipe)) {
    SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  ULONG transferred = 0;
  BOOL ok;
  DWORD error = ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ok = WinUsb_WritePipe(m_hInterface.Get(), pipe, const_cast<PUCHAR>(pData), length + 1, &transferred, nullptr);
    if (!ok) {
      error = GetLastError();
      // Leave a clean pipe for the caller's retry; the write's error is
      // the one reported.
      WinUsb_ResetPipe(m_hInterface.Get(), pipe);
    }
  }
  if (pTransferred != nullptr) *pTransferred = transferred;
  if (!ok) SetLastError(error);
  return ok != FALSE;
}

uint8_t WinUSB::GetUsbMajorVersion() {
  ULONG transferred = 0;
  if (!WinUsb_GetDescriptor(m_hInterface.Get(), kDescriptorDevice, 0, 0, reinterpret_cast<PUCHAR>(&m_deviceDesc),
                            sizeof(m_deviceDesc), &transferred) ||
      transferred != sizeof(m_deviceDesc))
    return 0;
  return static_cast<uint8_t>(m_deviceDesc.bcdUSB >> 8);
}

bool WinUSB::Command84() {
  const uint8_t data[2] = {0, 0};
  return VendorOut(kReqCommand84, 0, data, sizeof(data));
}

bool WinUSB::SetValue8B(uint16_t value) {
  const uint8_t data[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return VendorOut(kReqValue8B, value, data, sizeof(data));
}

bool WinUSB::GetValue44(uint8_t* pBuffer) {
  if (pBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const bool ok = VendorIn(kReqValue44, 0, pBuffer, 2);
  pBuffer[1] = 0;
  return ok;
}

bool WinUSB::ReadData45(uint8_t* pBuffer, uint32_t length) { return VendorIn(kReqRead45, 0, pBuffer, length); }

bool WinUSB::SetConfiguration(uint16_t value) {
  return ControlTransfer(kStandardOutDevice, kReqSetConfiguration, value, 0, nullptr, 0);
}
