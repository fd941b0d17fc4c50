// The USB client of one display device, as the monitor processor sees it:
// the device's vendor requests and the bulk frame pipe. Implementations
// serialise their own transfers, so the processor's main thread and its
// frame thread may both call in. Nothing here logs; every failure comes back
// as false and the caller writes the message.
#pragma once

#include <cstdint>

class ClientUSB {
 public:
  virtual ~ClientUSB() = default;

  // Vendor IN 0x40: two state bytes into pState[0..1]; pState[1] is then
  // cleared whatever the device sent.
  virtual bool GetState(uint8_t* pState) = 0;
  // Vendor IN 0x41, wValue 0: the EDID size in bytes (16 bits, little-endian).
  virtual bool GetEDIDSize(uint16_t* pSize) = 0;
  // GetState, then vendor IN 0x41 with wValue = block (1 or 2): one 128-byte
  // EDID block into pBlock.
  virtual bool GetEDIDData(uint8_t* pBlock, uint16_t block) = 0;
  // Vendor IN 0x43: length bytes into pBuffer.
  virtual bool ReadData43(uint8_t* pBuffer, uint32_t length) = 0;
  // GetState, vendor OUT 0x81 with the low 16 bits of width and height,
  // GetState again, then a 30 ms pause. Fails at the first failed transfer.
  virtual bool SetResolution(int32_t width, int32_t height) = 0;
  // Vendor OUT 0x83 with wValue = value: length bytes of quantisation tables.
  virtual bool SetQuantTable(const uint8_t* pData, uint32_t length, uint16_t value) = 0;
  // Vendor OUT 0x82 with wValue = value and the value as its 2-byte data.
  virtual bool SetValue82(uint16_t value) = 0;
  // One bulk OUT transfer of length + 1 bytes from pData (the byte after the
  // frame travels with it); pData must hold length + 1 readable bytes. The
  // pipe is reset when the transfer fails. *pTransferred gets the byte count
  // the device took.
  virtual bool Write(const uint8_t* pData, uint32_t length, uint32_t* pTransferred) = 0;
  // bcdUSB's major version from a fresh device descriptor, 0 on failure.
  virtual uint8_t GetUsbMajorVersion() = 0;
  // Vendor OUT 0x84 with two zero bytes.
  virtual bool Command84() = 0;
  // Vendor OUT 0x8B with wValue = value and the value as its 2-byte data.
  virtual bool SetValue8B(uint16_t value) = 0;
  // Vendor IN 0x44: two bytes into pBuffer; pBuffer[1] is then cleared.
  virtual bool GetValue44(uint8_t* pBuffer) = 0;
  // Vendor IN 0x45: length bytes into pBuffer.
  virtual bool ReadData45(uint8_t* pBuffer, uint32_t length) = 0;
  // Standard SET_CONFIGURATION (0x00, 0x09) with wValue = value, no data.
  virtual bool SetConfiguration(uint16_t value) = 0;
};
