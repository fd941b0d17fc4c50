// The recording that each simulated device keeps, and its reader.
//
// <name>/usb.log holds one line per event of the device, in the order the
// device saw them (one writer at a time: the process that opened the device):
//   INIT
//   DESC type=<t> index=<i> len=<requested> got=<returned> ok=<0|1>
//   POLICY <get|set> pipe=<hex> type=<n> value=<v> ok=<0|1>
//   CTRL <setup packet, 16 hex digits> ok=<0|1> data=<hex digits or ->
//   BULK pipe=<hex> len=<bytes received> ok=<0|1> frame=<index or ->
//   RESET pipe=<hex>
//   FREE
// <name>/frames.txt holds one line per frame that was received:
//   <index> <width> <height> <bytes received> <stream bytes saved> <file or ->
// where width x height is the resolution last set on the device.
//
// Runs on any thread; reads files only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usbsim {

struct UsbEvent {
  std::string kind;  // INIT, DESC, POLICY, CTRL, BULK, RESET, FREE
  bool ok = true;
  uint8_t setup[8] = {};      // CTRL only
  std::vector<uint8_t> data;  // CTRL: the data stage as it went over the wire
  uint32_t length = 0;        // BULK: bytes received; DESC: bytes requested
  long frame = -1;            // BULK: index of the frame saved, -1 for none
  std::string text;           // the whole line

  uint8_t RequestType() const { return setup[0]; }
  uint8_t Request() const { return setup[1]; }
  uint16_t Value() const { return uint16_t(setup[2] | setup[3] << 8); }
  uint16_t Index() const { return uint16_t(setup[4] | setup[5] << 8); }
  uint16_t Length() const { return uint16_t(setup[6] | setup[7] << 8); }
  bool IsSetResolution() const { return kind == "CTRL" && setup[0] == 0x41 && setup[1] == 0x81; }
  bool IsSetQuantTable() const { return kind == "CTRL" && setup[0] == 0x41 && setup[1] == 0x83; }
  // Width and height of a SetResolution; -1 when the data stage is short.
  int ResolutionWidth() const { return data.size() >= 4 ? data[0] | data[1] << 8 : -1; }
  int ResolutionHeight() const { return data.size() >= 4 ? data[2] | data[3] << 8 : -1; }
};

struct FrameRecord {
  long index = 0;
  int width = 0;
  int height = 0;
  uint32_t received = 0;  // bytes of the bulk transfer (the stream plus one)
  uint32_t saved = 0;     // bytes of the stream
  std::string file;       // relative to the device directory, "-" when not kept
};

bool ParseUsbEvent(const std::string& line, UsbEvent& out);
bool ParseFrameRecord(const std::string& line, FrameRecord& out);

// Reads a whole recording; a missing file gives an empty list.
std::vector<UsbEvent> ReadUsbLog(const std::wstring& deviceDir);
std::vector<FrameRecord> ReadFrameIndex(const std::wstring& deviceDir);
std::vector<uint8_t> ReadWholeFile(const std::wstring& path);

std::string HexBytes(const uint8_t* data, size_t size);

}  // namespace usbsim
