// winusb.dll stand-in: each interface handle is one simulated USB display
// device. It answers the device's descriptors and vendor requests (state,
// EDID size and blocks, resolution, quantisation tables), takes the frame
// stream from the bulk OUT pipe and records everything under the sim
// directory (see SimState.h and SimRecords.h).
//
// Threads: any. Each interface has its own lock; the set of live handles is
// guarded by one process-wide lock so that a stale or foreign handle is
// refused with ERROR_INVALID_HANDLE instead of being dereferenced.
#include <windows.h>
#include <winusb.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "SimRecords.h"
#include "SimState.h"

using namespace usbsim;

namespace {

constexpr DWORD kStall = ERROR_GEN_FAILURE;  // what WinUSB reports for a stalled request

struct SimInterface {
  std::mutex lock;
  DeviceConfig config;
  std::vector<uint8_t> edid;
  std::wstring dir;
  FILE* log = nullptr;
  ULONG timeout = 0;
  int width = 0, height = 0;
};

std::mutex g_lock;
std::set<SimInterface*> g_live;
std::set<std::wstring> g_open;             // device names with a live interface
std::map<std::wstring, long> g_nextFrame;  // frame numbering per device, across sessions

// Finds the interface behind a handle and locks it; null (with the error
// set) for anything that is not a live interface of this DLL.
class Locked {
 public:
  explicit Locked(WINUSB_INTERFACE_HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_live.find(static_cast<SimInterface*>(handle));
    if (it == g_live.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return;
    }
    m_sim = *it;
    m_sim->lock.lock();
  }
  ~Locked() {
    if (m_sim) m_sim->lock.unlock();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  SimInterface* operator->() const { return m_sim; }
  explicit operator bool() const { return m_sim != nullptr; }
  SimInterface* get() const { return m_sim; }

 private:
  SimInterface* m_sim = nullptr;
};

void Record(SimInterface* sim, const std::string& line) {
  if (!sim->log) return;
  fputs(line.c_str(), sim->log);
  fputc('\n', sim->log);
  fflush(sim->log);
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

bool KnownPipe(UCHAR pipe) { return pipe == kBulkOutPipe || pipe == 0x83 || pipe == 0x81; }

long CountLines(const std::wstring& path) {
  std::vector<uint8_t> bytes = ReadWholeFile(path);
  long n = 0;
  for (uint8_t c : bytes) n += c == '\n';
  return n;
}

bool WriteFileBytes(const std::wstring& path, const uint8_t* data, size_t size) {
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, data, DWORD(size), &written, nullptr);
  CloseHandle(h);
  return ok && written == size;
}

std::wstring FrameFile(long index) {
  wchar_t name[32];
  // A forward slash: the index is read by Windows and Unix tools alike.
  swprintf(name, 32, L"frames/%06ld.bin", index);
  return name;
}

// Saves one received frame stream and appends its line to frames.txt.
long SaveFrame(SimInterface* sim, const uint8_t* data, ULONG received) {
  // The host sends one byte past the stream, whose value has no meaning;
  // streams are whole multiples of 128 bytes, so the extra byte is known.
  ULONG saved = received % 128 == 1 ? received - 1 : received;
  long index;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    index = g_nextFrame[sim->config.name]++;
  }
  std::string file = "-";
  int keep = sim->config.keepFrames;
  if (keep != 0) {
    std::wstring rel = FrameFile(index);
    if (WriteFileBytes(sim->dir + L"\\" + rel, data, saved)) file = Narrow(rel);
    if (keep > 0 && index >= keep) DeleteFileW((sim->dir + L"\\" + FrameFile(index - keep)).c_str());
  }
  FILE* f = _wfopen((sim->dir + L"\\frames.txt").c_str(), L"ab");
  if (f) {
    fprintf(f, "%ld %d %d %lu %lu %s\n", index, sim->width, sim->height, (unsigned long)received, (unsigned long)saved,
            file.c_str());
    fclose(f);
  }
  return index;
}

// One control transfer as the device sees it. For IN requests the answer is
// written to `data` (wLength bytes); for OUT requests `data` holds the stage.
bool DeviceRequest(SimInterface* sim, const WINUSB_SETUP_PACKET& setup, uint8_t* data) {
  const bool vendor = (setup.RequestType & 0x60) == 0x40;
  if (vendor && setup.Index != kVendorInterfaceNumber) return false;
  switch (setup.RequestType << 8 | setup.Request) {
    case 0xC140:  // state: second byte is noise the host clears
      if (setup.Length != 2) return false;
      data[0] = sim->width ? 1 : 0;
      data[1] = 0xA5;
      return true;
    case 0xC141:  // EDID size (wValue 0) or one 128-byte block (1, 2)
      if (sim->config.edidSize == 0) return false;
      if (setup.Value == 0) {
        if (setup.Length != 2) return false;
        data[0] = uint8_t(sim->config.edidSize);
        data[1] = uint8_t(sim->config.edidSize >> 8);
        return true;
      }
      if (setup.Length != 128 || setup.Value > 2) return false;
      memcpy(data, sim->edid.data() + (setup.Value == 2 && sim->config.edidSize == 256 ? 128 : 0), 128);
      return true;
    case 0xC143:
    case 0xC145:
      memset(data, 0, setup.Length);
      return true;
    case 0xC144:
      if (setup.Length != 2) return false;
      data[0] = 0;
      data[1] = 0xA5;
      return true;
    case 0x4181:  // resolution: 16-bit width and height
      if (setup.Length != 4) return false;
      sim->width = data[0] | data[1] << 8;
      sim->height = data[2] | data[3] << 8;
      return true;
    case 0x4183:  // quantisation tables
      if (setup.Length == 0) return false;
      WriteFileBytes(sim->dir + L"\\quant.bin", data, setup.Length);
      return true;
    case 0x4182:
    case 0x4184:
    case 0x418B:
      return setup.Length == 2;
    case 0x0009:  // SET_CONFIGURATION
      return setup.Length == 0;
    default:
      return false;
  }
}

}  // namespace

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE out) {
  if (!out) return Fail(ERROR_INVALID_PARAMETER);
  *out = nullptr;
  if (device == nullptr || device == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  wchar_t path[2048];
  DWORD n = GetFinalPathNameByHandleW(device, path, 2048, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= 2048) return Fail(ERROR_INVALID_HANDLE);
  std::wstring name = DeviceNameFromPath(path);
  if (name.empty()) return Fail(ERROR_NOT_SUPPORTED);  // not a device of ours
  std::wstring simDir = SimDirectory();
  DeviceConfig config;
  bool listed = false;
  for (const auto& d : ReadDevices(simDir)) {
    if (_wcsicmp(d.name.c_str(), name.c_str()) == 0) {
      config = d;
      listed = true;
    }
  }
  if (!listed) return Fail(ERROR_DEVICE_NOT_CONNECTED);

  auto* sim = new (std::nothrow) SimInterface;
  if (!sim) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  sim->config = config;
  sim->edid = BuildEdid(config);
  sim->dir = DeviceDirectory(simDir, config.name);
  CreateDirectoryW(sim->dir.c_str(), nullptr);
  CreateDirectoryW((sim->dir + L"\\frames").c_str(), nullptr);
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_open.insert(config.name).second) {  // one owner per device, as WinUSB allows
      delete sim;
      return Fail(ERROR_ACCESS_DENIED);
    }
    if (!g_nextFrame.count(config.name)) g_nextFrame[config.name] = CountLines(sim->dir + L"\\frames.txt");
    g_live.insert(sim);
  }
  sim->log = _wfopen((sim->dir + L"\\usb.log").c_str(), L"ab");
  // The launcher names this handle in the handle notifications it plays.
  WriteDeviceHandle(sim->dir, reinterpret_cast<uintptr_t>(device));
  Record(sim, "INIT");
  *out = sim;
  return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  SimInterface* sim;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_live.find(static_cast<SimInterface*>(handle));
    if (it == g_live.end()) return Fail(ERROR_INVALID_HANDLE);
    sim = *it;
    g_live.erase(it);
    g_open.erase(sim->config.name);
  }
  {
    std::lock_guard<std::mutex> guard(sim->lock);  // let a transfer in progress finish
    Record(sim, "FREE");
    if (sim->log) fclose(sim->log);
  }
  delete sim;
  return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
                                 PUCHAR buffer, ULONG length, PULONG transferred) {
  Locked sim(handle);
  if (!sim) return FALSE;
  if (!buffer || !transferred) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> bytes;
  if (type == 1 && index == 0)
    bytes = DeviceDescriptor();
  else if (type == 2 && index <= 1)
    bytes = ConfigurationDescriptor();
  bool ok = !bytes.empty();
  ULONG got = ok ? (length < bytes.size() ? length : ULONG(bytes.size())) : 0;
  if (ok) memcpy(buffer, bytes.data(), got);
  *transferred = got;
  char line[128];
  snprintf(line, sizeof line, "DESC type=%u index=%u lang=%u len=%lu got=%lu ok=%d", type, index, language,
           (unsigned long)length, (unsigned long)got, ok);
  Record(sim.get(), line);
  return ok ? TRUE : Fail(kStall);
}

BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG type, PULONG length, PVOID value) {
  Locked sim(handle);
  if (!sim) return FALSE;
  if (!length || !value || !KnownPipe(pipe)) return Fail(ERROR_INVALID_PARAMETER);
  ULONG v = 0;
  ULONG size = 1;
  if (type == PIPE_TRANSFER_TIMEOUT) {
    v = sim->timeout;
    size = 4;
  } else if (type == MAXIMUM_TRANSFER_SIZE) {
    v = 4 * 1024 * 1024;
    size = 4;
  }
  bool ok = *length >= size;
  if (ok) memcpy(value, &v, size);
  *length = size;
  char line[96];
  snprintf(line, sizeof line, "POLICY get pipe=%02x type=%lu value=%lu ok=%d", pipe, (unsigned long)type,
           (unsigned long)v, ok);
  Record(sim.get(), line);
  return ok ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
}

BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG type, ULONG length, PVOID value) {
  Locked sim(handle);
  if (!sim) return FALSE;
  if (!value || !KnownPipe(pipe)) return Fail(ERROR_INVALID_PARAMETER);
  ULONG v = 0;
  bool ok = true;
  if (type == PIPE_TRANSFER_TIMEOUT) {
    ok = length == 4;
    if (ok) memcpy(&v, value, 4);
    if (ok) sim->timeout = v;
  } else {
    ok = length >= 1;
    if (ok) v = *static_cast<UCHAR*>(value);
  }
  char line[96];
  snprintf(line, sizeof line, "POLICY set pipe=%02x type=%lu value=%lu ok=%d", pipe, (unsigned long)type,
           (unsigned long)v, ok);
  Record(sim.get(), line);
  return ok ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                   ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
  (void)overlapped;  // every transfer completes before the call returns
  Locked sim(handle);
  if (!sim) return FALSE;
  if (length < setup.Length || (setup.Length && !buffer)) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> stage(setup.Length);
  const bool in = setup.RequestType & 0x80;
  if (!in && setup.Length) memcpy(stage.data(), buffer, setup.Length);
  bool ok = DeviceRequest(sim.get(), setup, stage.data());
  if (ok && in && setup.Length) memcpy(buffer, stage.data(), setup.Length);
  if (transferred) *transferred = ok ? setup.Length : 0;
  uint8_t raw[8];
  memcpy(raw, &setup, 8);
  std::string line = "CTRL " + HexBytes(raw, 8) + " ok=" + (ok ? "1" : "0") +
                     " data=" + (ok || !in ? HexBytes(stage.data(), stage.size()) : std::string("-"));
  Record(sim.get(), line);
  return ok ? TRUE : Fail(kStall);
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                             PULONG transferred, LPOVERLAPPED overlapped) {
  (void)overlapped;
  Locked sim(handle);
  if (!sim) return FALSE;
  if (transferred) *transferred = 0;
  if (pipe != kBulkOutPipe || (length && !buffer)) {
    char line[64];
    snprintf(line, sizeof line, "BULK pipe=%02x len=%lu ok=0 frame=-", pipe, (unsigned long)length);
    Record(sim.get(), line);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  long frame = SaveFrame(sim.get(), buffer, length);
  if (transferred) *transferred = length;
  char line[80];
  snprintf(line, sizeof line, "BULK pipe=%02x len=%lu ok=1 frame=%ld", pipe, (unsigned long)length, frame);
  Record(sim.get(), line);
  return TRUE;
}

BOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  Locked sim(handle);
  if (!sim) return FALSE;
  if (!KnownPipe(pipe)) return Fail(ERROR_INVALID_PARAMETER);
  char line[32];
  snprintf(line, sizeof line, "RESET pipe=%02x", pipe);
  Record(sim.get(), line);
  return TRUE;
}

}  // extern "C"
