// The WinUsb_* functions of the link-time double and the script/record API
// behind them (see WinUsbDouble.h). Error codes follow WinUSB's: a handle it
// does not know gives ERROR_INVALID_HANDLE, a bad argument or an unknown
// pipe ERROR_INVALID_PARAMETER, a pipe time-out ERROR_SEM_TIMEOUT, and an
// injected device failure whatever the test asked for (a stall is
// ERROR_GEN_FAILURE).
#include "WinUsbDouble.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace winusb_double {

const char* CallName(Call call) {
  switch (call) {
    case Call::Initialize:
      return "Initialize";
    case Call::Free:
      return "Free";
    case Call::GetDescriptor:
      return "GetDescriptor";
    case Call::GetPipePolicy:
      return "GetPipePolicy";
    case Call::SetPipePolicy:
      return "SetPipePolicy";
    case Call::ControlTransfer:
      return "ControlTransfer";
    case Call::WritePipe:
      return "WritePipe";
    case Call::ResetPipe:
      return "ResetPipe";
  }
  return "?";
}

struct CWinUsbDouble::State {
  mutable std::mutex mutex;
  std::vector<uint8_t> device;
  std::vector<uint8_t> configuration;
  std::map<std::pair<uint8_t, uint16_t>, std::vector<uint8_t>> inAnswers;
  struct Rule {
    Failure failure;
    unsigned seen = 0;
  };
  std::vector<Rule> rules;
  ULONG writeLimit = ~0ul;
  DWORD writeDelayMs = 0;
  std::function<void(const std::vector<uint8_t>&)> writeHook;
  std::vector<CallRecord> calls;
  std::set<uintptr_t> open;
  uintptr_t nextHandle = 0x00DB0000;
  std::vector<std::string> misuses;
  std::map<uint8_t, ULONG> pipeTimeouts;

  bool IsOpen(WINUSB_INTERFACE_HANDLE h) const { return open.count(reinterpret_cast<uintptr_t>(h)) != 0; }

  // Endpoint addresses declared by well-formed endpoint descriptors of the
  // scripted configuration.
  bool HasPipe(uint8_t pipe) const {
    size_t offset = 0;
    while (offset + 2 <= configuration.size()) {
      const uint8_t length = configuration[offset];
      if (length < 2 || offset + length > configuration.size()) break;
      if (configuration[offset + 1] == 5 && length >= 7 && configuration[offset + 2] == pipe && pipe != 0) return true;
      offset += length;
    }
    return false;
  }

  // Counts the call against every matching rule; true (with the error) when
  // one of them says this call fails.
  bool ShouldFail(Call call, int bRequest, DWORD* pError) {
    bool fail = false;
    for (Rule& rule : rules) {
      const Failure& f = rule.failure;
      if (f.call != call) continue;
      if (f.bRequest != Failure::kAnyRequest && f.bRequest != bRequest) continue;
      const unsigned index = rule.seen++;
      const bool inWindow = index >= f.skip && (f.count == Failure::kForever || index - f.skip < f.count);
      if (inWindow && !fail) {
        fail = true;
        *pError = f.error;
      }
    }
    return fail;
  }

  void Misuse(const char* szCall, const char* szWhat) { misuses.push_back(std::string(szCall) + ": " + szWhat); }

  // Records the call and sets the thread's last error to match its result.
  BOOL Finish(CallRecord record, BOOL result, DWORD error) {
    record.result = result;
    record.error = result ? 0 : error;
    record.tickMs = GetTickCount64();
    calls.push_back(std::move(record));
    SetLastError(result ? ERROR_SUCCESS : error);
    return result;
  }
};

CWinUsbDouble& CWinUsbDouble::Get() {
  // Never destroyed: code under test may still call in during exit.
  static CWinUsbDouble* s_pDouble = new CWinUsbDouble();
  return *s_pDouble;
}

CWinUsbDouble::CWinUsbDouble() : m_pState(new State()) { Reset(); }

void CWinUsbDouble::Reset() {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  State& s = *m_pState;
  s.device = MakeDeviceDescriptor();
  s.configuration = MakeDisplayConfiguration();
  s.inAnswers.clear();
  s.inAnswers[{0x41, 0}] = {128, 0};
  s.rules.clear();
  s.writeLimit = ~0ul;
  s.writeDelayMs = 0;
  s.writeHook = nullptr;
  s.calls.clear();
  s.open.clear();
  s.misuses.clear();
  s.pipeTimeouts.clear();
}

void CWinUsbDouble::SetDeviceDescriptor(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->device = std::move(bytes);
}

void CWinUsbDouble::SetConfiguration(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->configuration = std::move(bytes);
}

void CWinUsbDouble::SetInAnswer(uint8_t bRequest, uint16_t wValue, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->inAnswers[{bRequest, wValue}] = std::move(bytes);
}

void CWinUsbDouble::SetEdid(const std::vector<uint8_t>& edid, uint16_t reportedSize) {
  std::vector<uint8_t> block1(128, 0), block2(128, 0);
  for (size_t i = 0; i < edid.size() && i < 256; ++i) (i < 128 ? block1[i] : block2[i - 128]) = edid[i];
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->inAnswers[{0x41, 0}] = {static_cast<uint8_t>(reportedSize), static_cast<uint8_t>(reportedSize >> 8)};
  m_pState->inAnswers[{0x41, 1}] = std::move(block1);
  m_pState->inAnswers[{0x41, 2}] = std::move(block2);
}

void CWinUsbDouble::InjectFailure(const Failure& failure) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->rules.push_back({failure, 0});
}

void CWinUsbDouble::SetWriteTransferLimit(ULONG limit) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->writeLimit = limit;
}

void CWinUsbDouble::SetWriteDelay(DWORD ms) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->writeDelayMs = ms;
}

void CWinUsbDouble::SetWriteHook(std::function<void(const std::vector<uint8_t>&)> hook) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->writeHook = std::move(hook);
}

std::vector<CallRecord> CWinUsbDouble::Calls() const {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  return m_pState->calls;
}

std::vector<CallRecord> CWinUsbDouble::Calls(Call call) const {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  std::vector<CallRecord> out;
  for (const CallRecord& r : m_pState->calls)
    if (r.call == call) out.push_back(r);
  return out;
}

std::vector<CallRecord> CWinUsbDouble::Controls(int bRequest) const {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  std::vector<CallRecord> out;
  for (const CallRecord& r : m_pState->calls)
    if (r.call == Call::ControlTransfer && (bRequest == Failure::kAnyRequest || r.Request() == bRequest))
      out.push_back(r);
  return out;
}

std::vector<CallRecord> CWinUsbDouble::Writes() const { return Calls(Call::WritePipe); }

void CWinUsbDouble::ClearRecord() {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  m_pState->calls.clear();
}

size_t CWinUsbDouble::OpenInterfaces() const {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  return m_pState->open.size();
}

std::vector<std::string> CWinUsbDouble::Misuses() const {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  return m_pState->misuses;
}

ULONG CWinUsbDouble::PipeTimeout(uint8_t pipeId) const {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  auto it = m_pState->pipeTimeouts.find(pipeId);
  return it == m_pState->pipeTimeouts.end() ? 0 : it->second;
}

// Gives the WinUsb_* functions below the double's state.
struct DoubleAccess {
  static CWinUsbDouble::State& State() { return *CWinUsbDouble::Get().m_pState; }
};

}  // namespace winusb_double

using winusb_double::Call;
using winusb_double::CallRecord;
using winusb_double::DoubleAccess;

extern "C" {

WINBOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  auto& s = DoubleAccess::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  CallRecord record;
  record.call = Call::Initialize;
  DWORD flags = 0;
  if (InterfaceHandle == nullptr) {
    s.Misuse("WinUsb_Initialize", "null InterfaceHandle");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  *InterfaceHandle = nullptr;
  if (DeviceHandle == nullptr || DeviceHandle == INVALID_HANDLE_VALUE || !GetHandleInformation(DeviceHandle, &flags)) {
    s.Misuse("WinUsb_Initialize", "device handle is not open");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  DWORD error = 0;
  if (s.ShouldFail(Call::Initialize, -1, &error)) return s.Finish(record, FALSE, error);
  const uintptr_t handle = s.nextHandle;
  s.nextHandle += 0x10;
  s.open.insert(handle);
  *InterfaceHandle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(handle);
  record.hInterface = *InterfaceHandle;
  return s.Finish(record, TRUE, 0);
}

WINBOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
  auto& s = DoubleAccess::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  CallRecord record;
  record.call = Call::Free;
  record.hInterface = InterfaceHandle;
  if (!s.IsOpen(InterfaceHandle)) {
    s.Misuse("WinUsb_Free", "unknown or freed interface handle");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  s.open.erase(reinterpret_cast<uintptr_t>(InterfaceHandle));
  return s.Finish(record, TRUE, 0);
}

WINBOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType, UCHAR Index,
                                    USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred) {
  auto& s = DoubleAccess::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  CallRecord record;
  record.call = Call::GetDescriptor;
  record.hInterface = InterfaceHandle;
  record.descriptorType = DescriptorType;
  record.descriptorIndex = Index;
  record.languageId = LanguageID;
  record.bufferLength = BufferLength;
  if (LengthTransferred != nullptr) *LengthTransferred = 0;
  if (!s.IsOpen(InterfaceHandle)) {
    s.Misuse("WinUsb_GetDescriptor", "unknown or freed interface handle");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  if (Buffer == nullptr || BufferLength == 0 || LengthTransferred == nullptr) {
    s.Misuse("WinUsb_GetDescriptor", "no buffer or no LengthTransferred");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  DWORD error = 0;
  if (s.ShouldFail(Call::GetDescriptor, -1, &error)) return s.Finish(record, FALSE, error);
  const std::vector<uint8_t>* pSource = nullptr;
  if (DescriptorType == 1) pSource = &s.device;
  if (DescriptorType == 2) pSource = &s.configuration;
  if (pSource == nullptr) return s.Finish(record, FALSE, ERROR_GEN_FAILURE);  // stalled
  const ULONG n = std::min<ULONG>(BufferLength, static_cast<ULONG>(pSource->size()));
  std::memcpy(Buffer, pSource->data(), n);
  *LengthTransferred = n;
  record.transferred = n;
  record.data.assign(Buffer, Buffer + n);
  return s.Finish(record, TRUE, 0);
}

WINBOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                                    PULONG ValueLength, PVOID Value) {
  auto& s = DoubleAccess::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  CallRecord record;
  record.call = Call::GetPipePolicy;
  record.hInterface = InterfaceHandle;
  record.pipeId = PipeID;
  record.policyType = PolicyType;
  if (!s.IsOpen(InterfaceHandle)) {
    s.Misuse("WinUsb_GetPipePolicy", "unknown or freed interface handle");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  if (ValueLength == nullptr || Value == nullptr) {
    s.Misuse("WinUsb_GetPipePolicy", "null ValueLength or Value");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  record.bufferLength = *ValueLength;
  if (PolicyType != PIPE_TRANSFER_TIMEOUT) return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  if (*ValueLength < sizeof(ULONG)) {
    s.Misuse("WinUsb_GetPipePolicy", "ValueLength below 4 for PIPE_TRANSFER_TIMEOUT");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  if (!s.HasPipe(PipeID)) return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  if (s.ShouldFail(Call::GetPipePolicy, -1, &error)) return s.Finish(record, FALSE, error);
  const ULONG value = s.pipeTimeouts.count(PipeID) ? s.pipeTimeouts[PipeID] : 0;
  std::memcpy(Value, &value, sizeof(value));
  *ValueLength = sizeof(value);
  record.policyValue = value;
  return s.Finish(record, TRUE, 0);
}

WINBOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                                    ULONG ValueLength, PVOID Value) {
  auto& s = DoubleAccess::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  CallRecord record;
  record.call = Call::SetPipePolicy;
  record.hInterface = InterfaceHandle;
  record.pipeId = PipeID;
  record.policyType = PolicyType;
  record.bufferLength = ValueLength;
  if (!s.IsOpen(InterfaceHandle)) {
    s.Misuse("WinUsb_SetPipePolicy", "unknown or freed interface handle");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  if (Value == nullptr) {
    s.Misuse("WinUsb_SetPipePolicy", "null Value");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  if (PolicyType != PIPE_TRANSFER_TIMEOUT) return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  if (ValueLength != sizeof(ULONG)) {
    s.Misuse("WinUsb_SetPipePolicy", "ValueLength is not 4 for PIPE_TRANSFER_TIMEOUT");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  if (!s.HasPipe(PipeID)) return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  if (s.ShouldFail(Call::SetPipePolicy, -1, &error)) return s.Finish(record, FALSE, error);
  ULONG value = 0;
  std::memcpy(&value, Value, sizeof(value));
  s.pipeTimeouts[PipeID] = value;
  record.policyValue = value;
  return s.Finish(record, TRUE, 0);
}

WINBOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                                      PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                                      LPOVERLAPPED Overlapped) {
  auto& s = DoubleAccess::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  CallRecord record;
  record.call = Call::ControlTransfer;
  record.hInterface = InterfaceHandle;
  record.bufferLength = BufferLength;
  static_assert(sizeof(SetupPacket) == 8);
  std::memcpy(record.setup.data(), &SetupPacket, 8);
  if (LengthTransferred != nullptr) *LengthTransferred = 0;
  if (!s.IsOpen(InterfaceHandle)) {
    s.Misuse("WinUsb_ControlTransfer", "unknown or freed interface handle");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  if (Overlapped != nullptr || LengthTransferred == nullptr) {
    s.Misuse("WinUsb_ControlTransfer", "overlapped call or null LengthTransferred");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  if (BufferLength != SetupPacket.Length || (BufferLength != 0 && Buffer == nullptr)) {
    s.Misuse("WinUsb_ControlTransfer", "buffer does not match the setup packet's wLength");
    return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  }
  const bool in = (SetupPacket.RequestType & 0x80) != 0;
  if (!in) record.data.assign(Buffer, Buffer + BufferLength);
  DWORD error = 0;
  if (s.ShouldFail(Call::ControlTransfer, SetupPacket.Request, &error)) return s.Finish(record, FALSE, error);
  ULONG transferred = BufferLength;
  if (in) {
    auto it = s.inAnswers.find({SetupPacket.Request, SetupPacket.Value});
    if (it != s.inAnswers.end()) {
      transferred = std::min<ULONG>(BufferLength, static_cast<ULONG>(it->second.size()));
      if (transferred != 0) std::memcpy(Buffer, it->second.data(), transferred);
    } else if (BufferLength != 0) {
      std::memset(Buffer, 0, BufferLength);
    }
    record.data.assign(Buffer, Buffer + transferred);
  }
  *LengthTransferred = transferred;
  record.transferred = transferred;
  return s.Finish(record, TRUE, 0);
}

WINBOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                                ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  auto& s = DoubleAccess::State();
  CallRecord record;
  record.call = Call::WritePipe;
  record.hInterface = InterfaceHandle;
  record.pipeId = PipeID;
  record.bufferLength = BufferLength;
  if (LengthTransferred != nullptr) *LengthTransferred = 0;

  std::function<void(const std::vector<uint8_t>&)> hook;
  DWORD delayMs = 0;
  ULONG timeoutMs = 0;
  ULONG limit = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.IsOpen(InterfaceHandle)) {
      s.Misuse("WinUsb_WritePipe", "unknown or freed interface handle");
      return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
    }
    if (Overlapped != nullptr || LengthTransferred == nullptr || Buffer == nullptr) {
      s.Misuse("WinUsb_WritePipe", "overlapped call, null buffer or null LengthTransferred");
      return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
    }
    if (!s.HasPipe(PipeID) || (PipeID & 0x80) != 0) return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
    record.data.assign(Buffer, Buffer + BufferLength);
    hook = s.writeHook;
    delayMs = s.writeDelayMs;
    timeoutMs = s.pipeTimeouts.count(PipeID) ? s.pipeTimeouts[PipeID] : 0;
    limit = s.writeLimit;
  }

  // The transfer itself takes time; nothing of the double is locked meanwhile.
  if (hook) hook(record.data);
  bool timedOut = false;
  if (delayMs != 0) {
    timedOut = timeoutMs != 0 && delayMs > timeoutMs;
    Sleep(timedOut ? timeoutMs : delayMs);
  }

  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.IsOpen(InterfaceHandle)) {
    s.Misuse("WinUsb_WritePipe", "interface freed while a write was in progress");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  if (timedOut) return s.Finish(record, FALSE, ERROR_SEM_TIMEOUT);
  DWORD error = 0;
  if (s.ShouldFail(Call::WritePipe, -1, &error)) return s.Finish(record, FALSE, error);
  const ULONG transferred = std::min(BufferLength, limit);
  *LengthTransferred = transferred;
  record.transferred = transferred;
  return s.Finish(record, TRUE, 0);
}

WINBOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  auto& s = DoubleAccess::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  CallRecord record;
  record.call = Call::ResetPipe;
  record.hInterface = InterfaceHandle;
  record.pipeId = PipeID;
  if (!s.IsOpen(InterfaceHandle)) {
    s.Misuse("WinUsb_ResetPipe", "unknown or freed interface handle");
    return s.Finish(record, FALSE, ERROR_INVALID_HANDLE);
  }
  if (!s.HasPipe(PipeID)) return s.Finish(record, FALSE, ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  if (s.ShouldFail(Call::ResetPipe, -1, &error)) return s.Finish(record, FALSE, error);
  return s.Finish(record, TRUE, 0);
}

}  // extern "C"
