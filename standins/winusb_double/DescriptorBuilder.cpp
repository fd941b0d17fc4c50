// Descriptor sets for the WinUSB double's scripted devices.
#include "WinUsbDouble.h"

namespace winusb_double {

DescriptorBuilder& DescriptorBuilder::Configuration(uint8_t numInterfaces, uint8_t value) {
  // bLength, type 2, wTotalLength (filled by Build), bNumInterfaces,
  // bConfigurationValue, iConfiguration, bmAttributes (bus powered), 500 mA.
  const uint8_t bytes[] = {9, 2, 0, 0, numInterfaces, value, 0, 0x80, 250};
  m_bytes.insert(m_bytes.end(), std::begin(bytes), std::end(bytes));
  return *this;
}

DescriptorBuilder& DescriptorBuilder::Interface(uint8_t number, uint8_t interfaceClass, uint8_t numEndpoints,
                                                uint8_t alternate) {
  const uint8_t bytes[] = {9, 4, number, alternate, numEndpoints, interfaceClass, 0, 0, 0};
  m_bytes.insert(m_bytes.end(), std::begin(bytes), std::end(bytes));
  return *this;
}

DescriptorBuilder& DescriptorBuilder::Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket) {
  const uint8_t bytes[] = {
      7, 5, address, attributes, static_cast<uint8_t>(maxPacket), static_cast<uint8_t>(maxPacket >> 8), 0};
  m_bytes.insert(m_bytes.end(), std::begin(bytes), std::end(bytes));
  return *this;
}

DescriptorBuilder& DescriptorBuilder::Raw(std::vector<uint8_t> bytes) {
  m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
  return *this;
}

DescriptorBuilder& DescriptorBuilder::TotalLength(uint16_t wTotalLength) {
  m_totalLength = wTotalLength;
  return *this;
}

std::vector<uint8_t> DescriptorBuilder::Build() const {
  std::vector<uint8_t> bytes = m_bytes;
  if (bytes.size() >= 4) {
    const size_t total = m_totalLength >= 0 ? static_cast<size_t>(m_totalLength) : bytes.size();
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
  }
  return bytes;
}

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t bcdUsb, uint16_t idVendor, uint16_t idProduct) {
  return {18,
          1,
          static_cast<uint8_t>(bcdUsb),
          static_cast<uint8_t>(bcdUsb >> 8),
          0xFF,  // vendor-specific device class
          0,
          0,
          64,
          static_cast<uint8_t>(idVendor),
          static_cast<uint8_t>(idVendor >> 8),
          static_cast<uint8_t>(idProduct),
          static_cast<uint8_t>(idProduct >> 8),
          0x00,
          0x01,
          1,
          2,
          3,
          1};
}

std::vector<uint8_t> MakeDisplayConfiguration(uint8_t interfaceNumber, uint8_t endpointAddress) {
  return DescriptorBuilder()
      .Configuration(1)
      .Interface(interfaceNumber, 0xFF)
      .Endpoint(endpointAddress, 0x02, 512)
      .Build();
}

}  // namespace winusb_double
