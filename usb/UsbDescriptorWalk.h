// The walk over a configuration descriptor set returned by the device. The
// bytes come from the device and are untrusted: every descriptor is checked
// against the bytes actually returned before it is read or copied.
// Pure function; runs on whichever thread binds the device.
#pragma once

#include <windows.h>
#include <usbspec.h>

#include <cstddef>
#include <cstdint>

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

struct UsbWalkResult {
  bool bVendorInterfaceFound = false;
  // True when the walk ended at a descriptor that was not well formed
  // (length 1, running past the data, or an interface or endpoint descriptor
  // shorter than its structure).
  bool bMalformed = false;
};

// Walks pData[0..size) from offset 9 (just after the configuration
// descriptor). Interface descriptors are copied into *pInterface, endpoint
// descriptors into *pEndpoint; at the first vendor-specific interface
// (class 0xFF) the descriptor that directly follows it is copied into
// *pEndpoint and the walk ends; when no complete descriptor follows it,
// *pEndpoint is cleared (address 0: no pipe). Members keep the last
// descriptors seen when no vendor interface exists.
UsbWalkResult WalkConfigurationDescriptors(const uint8_t* pData, size_t size, USB_INTERFACE_DESCRIPTOR* pInterface,
                                           USB_ENDPOINT_DESCRIPTOR* pEndpoint);
