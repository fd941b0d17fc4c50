// Shared state of the simulated USB display devices.
//
// The simulation lives in one directory (the "sim directory"), named by the
// environment variable SKY_USBSIM_DIR (a Windows path, or a Unix path that is
// reached through Wine's Z: drive). It is shared by:
//   - cfgmgr32.dll (stand-in): lists the present devices;
//   - winusb.dll (stand-in): answers the vendor protocol and records traffic;
//   - the launcher and the tests: plug devices in and out, read the records.
//
// Layout of the sim directory:
//   devices.txt            present devices, one per line, in list order:
//                          "<name> [mode=WxH] [edid=256|128|none] [keep=N]"
//   cfgmgr.txt (optional)  scripted enumeration faults, "key=value" lines:
//                          size_fail=<CONFIGRET>, list_fail=<CONFIGRET>,
//                          buffer_small=<count of list queries that grow>
//   usb#vid_...#<name>#{guid}   the device node that the interface path opens
//   <name>/usb.log         one line per transfer (see SimUsbLog)
//   <name>/frames.txt      one line per bulk write: seq width height received saved file
//                          (file relative to <name>, with a forward slash)
//   <name>/frames/NNNNNN.bin    the frame stream of each bulk write
//   <name>/quant.bin       the last quantisation-table payload received
//   <name>/handle.txt      the file handle value the host last opened the
//                          device with (hexadecimal), as WinUsb_Initialize saw it
//
// Every function here is free of global state and safe on any thread; the
// device list is replaced atomically (write aside, then rename), so readers
// in other processes never see half a file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace usbsim {

// {1B866A70-854D-417F-B69D-B7AB9BFB8DA5}, the class of every simulated interface.
extern const GUID kDisplayInterfaceGuid;

constexpr uint16_t kVendorId = 0x1209;
constexpr uint16_t kProductId = 0x7D5A;
constexpr uint8_t kVendorInterfaceNumber = 1;  // interface 0 is not vendor-specific
constexpr uint8_t kBulkOutPipe = 0x02;         // endpoint right after the vendor interface

struct DeviceConfig {
  std::wstring name;  // [A-Za-z0-9_-]+, unique within the list
  int width = 1280;   // preferred mode written into the EDID
  int height = 720;
  int edidSize = 256;   // 256 or 128 as reported by the device; 0: the EDID request stalls
  int keepFrames = -1;  // frame files kept on disk; -1 keeps all, 0 keeps none
};

struct CfgMgrFaults {
  uint32_t sizeFail = 0;  // CONFIGRET returned by the size query (0: none)
  uint32_t listFail = 0;  // CONFIGRET returned by the list query (0: none)
  int bufferSmall = 0;    // number of list queries that find one more path than the size query
};

// The sim directory as a Windows path without trailing backslash; empty when
// SKY_USBSIM_DIR is not set.
std::wstring SimDirectory();
// Converts "/unix/path" to "Z:\unix\path"; other values are returned unchanged.
std::wstring ToWindowsPath(const std::wstring& path);

bool IsValidDeviceName(const std::wstring& name);

// The interface path of a device, e.g.
// "\\?\Z:\tmp\sim\usb#vid_1209&pid_7d5a#dev1#{1b866a70-854d-417f-b69d-b7ab9bfb8da5}".
std::wstring InterfacePath(const std::wstring& simDir, const std::wstring& name);
// The device name inside an interface path or a file path naming the node;
// empty when the text is not one of ours.
std::wstring DeviceNameFromPath(const std::wstring& path);
// The DEV_BROADCAST_DEVICEINTERFACE_W block that WM_DEVICECHANGE carries for
// an interface path of the given class: the header, then the path with its
// terminator.
std::vector<uint8_t> InterfaceBroadcast(const std::wstring& path, const GUID& classGuid);

// The DEV_BROADCAST_HANDLE block of a handle notification (query-remove and
// the like) naming a device's file handle (and no notification handle).
std::vector<uint8_t> HandleBroadcast(uintptr_t deviceHandle);
// handle.txt of a device directory: written by the winusb.dll stand-in;
// false when there is none.
bool WriteDeviceHandle(const std::wstring& deviceDir, uintptr_t deviceHandle);
bool ReadDeviceHandle(const std::wstring& deviceDir, uintptr_t* pDeviceHandle);

// devices.txt: read (missing file = no device), and replace atomically.
// Writing also creates the node file of every listed device.
std::vector<DeviceConfig> ReadDevices(const std::wstring& simDir);
bool WriteDevices(const std::wstring& simDir, const std::vector<DeviceConfig>& devices);
bool ParseDeviceLine(const std::string& line, DeviceConfig& out);
std::string FormatDeviceLine(const DeviceConfig& device);
// Creates the file that the device's interface path opens.
bool CreateDeviceNode(const std::wstring& simDir, const std::wstring& name);

CfgMgrFaults ReadCfgMgrFaults(const std::wstring& simDir);
bool WriteCfgMgrFaults(const std::wstring& simDir, const CfgMgrFaults& faults);

// The device's 256 bytes of EDID: an EDID 1.3 base block (preferred timing
// width x height at 60 Hz, monitor name "Usbsim <name>", serial text <name>)
// and one empty extension block. Both blocks sum to 0 modulo 256.
std::vector<uint8_t> BuildEdid(const DeviceConfig& device);
// Device descriptor (18 bytes) and the full configuration descriptor set:
// interface 0 (class 0xFE) with an interrupt IN endpoint, then interface 1
// (class 0xFF) with bulk OUT 0x02 and bulk IN 0x83.
std::vector<uint8_t> DeviceDescriptor();
std::vector<uint8_t> ConfigurationDescriptor();

// Deletes a directory with everything in it; true when it is gone.
bool RemoveTree(const std::wstring& dir);

// Files of one device's recording.
std::wstring DeviceDirectory(const std::wstring& simDir, const std::wstring& name);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace usbsim
