// Link-time double of the WinUsb_* functions, for unit tests only: linking
// the `winusb_double` object library into a test executable replaces the
// import library's functions. It plays one scripted USB display device:
// descriptors, answers to IN control requests, bulk pipe behaviour and
// injected failures, and it records every call with its setup packet and
// data. Calls check their arguments like WinUSB does and fail with the
// Windows error code WinUSB would set (SetLastError).
//
// Threads: every WinUsb_* function and every method here may be called from
// any thread; state is guarded by one mutex, which is never held while a
// scripted delay or a test's hook runs.
#pragma once

#include <windows.h>
#include <winusb.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winusb_double {

enum class Call {
  Initialize,
  Free,
  GetDescriptor,
  GetPipePolicy,
  SetPipePolicy,
  ControlTransfer,
  WritePipe,
  ResetPipe,
};

const char* CallName(Call call);

// One recorded WinUsb_* call. Fields not used by a call stay zero/empty.
struct CallRecord {
  Call call{};
  WINUSB_INTERFACE_HANDLE hInterface = nullptr;
  BOOL result = FALSE;
  DWORD error = 0;  // the last error set when result is FALSE
  // ControlTransfer: the 8 setup bytes as they go on the wire.
  std::array<uint8_t, 8> setup{};
  // ControlTransfer OUT / WritePipe: the bytes handed to the call.
  // ControlTransfer IN / GetDescriptor: the bytes returned to the caller.
  std::vector<uint8_t> data;
  ULONG bufferLength = 0;  // the length argument of the call
  ULONG transferred = 0;   // what the call reported as transferred
  // GetDescriptor: type, index, language. Pipe calls: pipe id.
  uint8_t descriptorType = 0;
  uint8_t descriptorIndex = 0;
  uint16_t languageId = 0;
  uint8_t pipeId = 0;
  ULONG policyType = 0;
  ULONG policyValue = 0;  // SetPipePolicy: the value set
  ULONGLONG tickMs = 0;   // GetTickCount64() when the call returned

  uint8_t RequestType() const { return setup[0]; }
  uint8_t Request() const { return setup[1]; }
  uint16_t Value() const { return static_cast<uint16_t>(setup[2] | setup[3] << 8); }
  uint16_t Index() const { return static_cast<uint16_t>(setup[4] | setup[5] << 8); }
  uint16_t Length() const { return static_cast<uint16_t>(setup[6] | setup[7] << 8); }
};

// A failure to inject: the calls of kind `call` (and, for control transfers,
// with this bRequest unless it is kAnyRequest) fail with `error`; the first
// `skip` matching calls pass, the next `count` fail (kForever: all of them).
struct Failure {
  static constexpr int kAnyRequest = -1;
  static constexpr unsigned kForever = ~0u;
  Call call = Call::ControlTransfer;
  DWORD error = ERROR_GEN_FAILURE;
  int bRequest = kAnyRequest;
  unsigned skip = 0;
  unsigned count = 1;
};

// Builds a descriptor set byte by byte; Build() fills wTotalLength of the
// configuration descriptor (at offset 2) unless TotalLength() overrode it.
class DescriptorBuilder {
 public:
  DescriptorBuilder& Configuration(uint8_t numInterfaces = 1, uint8_t value = 1);
  DescriptorBuilder& Interface(uint8_t number, uint8_t interfaceClass, uint8_t numEndpoints = 1, uint8_t alternate = 0);
  DescriptorBuilder& Endpoint(uint8_t address, uint8_t attributes = 0x02, uint16_t maxPacket = 512);
  DescriptorBuilder& Raw(std::vector<uint8_t> bytes);
  DescriptorBuilder& TotalLength(uint16_t wTotalLength);
  std::vector<uint8_t> Build() const;

 private:
  std::vector<uint8_t> m_bytes;
  int m_totalLength = -1;
};

// An 18-byte device descriptor with the given bcdUSB.
std::vector<uint8_t> MakeDeviceDescriptor(uint16_t bcdUsb = 0x0200, uint16_t idVendor = 0x1D5C,
                                          uint16_t idProduct = 0x2000);

// A display device with one vendor interface and its bulk OUT endpoint.
std::vector<uint8_t> MakeDisplayConfiguration(uint8_t interfaceNumber = 0, uint8_t endpointAddress = 0x01);

class CWinUsbDouble {
 public:
  static CWinUsbDouble& Get();

  // Forgets the script, the record and every open interface, and scripts
  // the default device: MakeDeviceDescriptor(), MakeDisplayConfiguration(),
  // a 128-byte EDID (size 128, zero blocks), pipe time-outs of 0.
  void Reset();

  // --- Script -------------------------------------------------------------
  void SetDeviceDescriptor(std::vector<uint8_t> bytes);
  // The full configuration descriptor set, answered to every type-2 request
  // (a request shorter than the set gets its first bytes).
  void SetConfiguration(std::vector<uint8_t> bytes);
  // Answer to vendor IN requests with this bRequest and wValue. A request
  // gets min(answer size, wLength) bytes; unscripted IN requests get wLength
  // zero bytes.
  void SetInAnswer(uint8_t bRequest, uint16_t wValue, std::vector<uint8_t> bytes);
  // Scripts GetEDIDSize (request 0x41, value 0) to answer `reportedSize`
  // and blocks 1 and 2 (request 0x41, values 1 and 2) with the first and
  // second 128 bytes of edid (zero-filled when shorter).
  void SetEdid(const std::vector<uint8_t>& edid, uint16_t reportedSize);
  void InjectFailure(const Failure& failure);
  // Bulk writes report this many bytes transferred (clamped to the length
  // written); default: the whole length.
  void SetWriteTransferLimit(ULONG limit);
  // Every bulk write takes this long; a write longer than the pipe's
  // time-out policy (when set) fails with ERROR_SEM_TIMEOUT after the
  // time-out, like WinUSB's.
  void SetWriteDelay(DWORD ms);
  // Called (outside the double's lock) at the start of every bulk write,
  // with the bytes written; may block to hold the writer.
  void SetWriteHook(std::function<void(const std::vector<uint8_t>&)> hook);

  // --- Record -------------------------------------------------------------
  std::vector<CallRecord> Calls() const;
  std::vector<CallRecord> Calls(Call call) const;
  // Control transfers only, and only those with bRequest (if given).
  std::vector<CallRecord> Controls(int bRequest = Failure::kAnyRequest) const;
  std::vector<CallRecord> Writes() const;
  void ClearRecord();
  // Interfaces initialised and not freed yet.
  size_t OpenInterfaces() const;
  // Calls that broke WinUSB's rules (unknown or freed handle, bad buffers,
  // a setup wLength that differs from the buffer length, unknown pipe...),
  // one text each. Tests of correct code expect none.
  std::vector<std::string> Misuses() const;
  // The pipe time-out policy last set on a pipe (0 when never set).
  ULONG PipeTimeout(uint8_t pipeId) const;

 private:
  CWinUsbDouble();
  struct State;
  State* m_pState;
  friend struct DoubleAccess;
};

}  // namespace winusb_double
