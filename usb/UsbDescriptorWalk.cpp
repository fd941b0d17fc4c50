// Descriptor walk over the untrusted configuration descriptor set.
#include "UsbDescriptorWalk.h"

#include <cstring>

namespace {

constexpr uint8_t kTypeInterface = 4;
constexpr uint8_t kTypeEndpoint = 5;
constexpr uint8_t kClassVendorSpecific = 0xFF;
constexpr size_t kConfigurationHeaderSize = sizeof(USB_CONFIGURATION_DESCRIPTOR);

// A descriptor is well formed when its two header bytes and all of its
// bLength bytes lie within size and bLength is at least minLength. The walk
// ends normally at the end of the data or at a bLength of 0.
enum class Check { kEnd, kMalformed, kOk };

Check CheckDescriptor(const uint8_t* pData, size_t size, size_t offset, size_t minLength) {
  if (offset >= size) return Check::kEnd;
  if (size - offset < 2) return Check::kMalformed;
  const size_t length = pData[offset];
  if (length == 0) return Check::kEnd;
  if (length < 2 || length < minLength || length > size - offset) return Check::kMalformed;
  return Check::kOk;
}

}  // namespace

UsbWalkResult WalkConfigurationDescriptors(const uint8_t* pData, size_t size, USB_INTERFACE_DESCRIPTOR* pInterface,
                                           USB_ENDPOINT_DESCRIPTOR* pEndpoint) {
  UsbWalkResult result;
  if (pData == nullptr || size < kConfigurationHeaderSize) {
    result.bMalformed = size != 0 && pData != nullptr;
    return result;
  }

  size_t offset = kConfigurationHeaderSize;
  for (;;) {
    Check check = CheckDescriptor(pData, size, offset, 2);
    if (check != Check::kOk) {
      result.bMalformed = check == Check::kMalformed;
      return result;
    }
    const uint8_t length = pData[offset];
    const uint8_t type = pData[offset + 1];

    if (type == kTypeInterface) {
      if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
        result.bMalformed = true;
        return result;
      }
      std::memcpy(pInterface, pData + offset, sizeof(USB_INTERFACE_DESCRIPTOR));
      if (pInterface->bInterfaceClass == kClassVendorSpecific) {
        result.bVendorInterfaceFound = true;
        // The vendor interface's pipe is the descriptor right after it;
        // copied only when it is complete. Otherwise the vendor interface has
        // no pipe: an endpoint of an earlier interface must not stand in for
        // it, so the member is cleared (address 0, no pipe).
        const size_t next = offset + length;
        check = CheckDescriptor(pData, size, next, sizeof(USB_ENDPOINT_DESCRIPTOR));
        if (check == Check::kOk) {
          std::memcpy(pEndpoint, pData + next, sizeof(USB_ENDPOINT_DESCRIPTOR));
        } else {
          *pEndpoint = USB_ENDPOINT_DESCRIPTOR{};
          result.bMalformed = check == Check::kMalformed;
        }
        return result;
      }
    } else if (type == kTypeEndpoint) {
      if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
        result.bMalformed = true;
        return result;
      }
      std::memcpy(pEndpoint, pData + offset, sizeof(USB_ENDPOINT_DESCRIPTOR));
    }
    offset += length;
  }
}
