// Shared state of the simulated USB display devices: the sim directory, the
// device list, interface paths and their WM_DEVICECHANGE broadcasts, and the
// bytes every device reports about itself (descriptors and EDID). Any thread;
// no global state.
#include "SimState.h"

#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

namespace usbsim {

const GUID kDisplayInterfaceGuid = {0x1B866A70, 0x854D, 0x417F, {0xB6, 0x9D, 0xB7, 0xAB, 0x9B, 0xFB, 0x8D, 0xA5}};

namespace {

const wchar_t kNodePrefix[] = L"usb#vid_1209&pid_7d5a#";
const wchar_t kNodeSuffix[] = L"#{1b866a70-854d-417f-b69d-b7ab9bfb8da5}";

bool ReadLines(const std::wstring& path, std::vector<std::string>& lines) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  std::string line;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line.push_back(char(c));
    }
  }
  if (!line.empty()) lines.push_back(line);
  fclose(f);
  return true;
}

// Writes the whole text beside the target, then renames it over the target,
// so that a reader sees either the old or the new content.
bool ReplaceFile(const std::wstring& path, const std::string& text) {
  std::wstring temp = path + L".new";
  FILE* f = _wfopen(temp.c_str(), L"wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  if (!ok) return false;
  return MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseInt(const std::string& text, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 0);
  if (*end != '\0') return false;
  out = v;
  return true;
}

void PutDescriptor(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// One 18-byte EDID display descriptor with text (0xFC name, 0xFF serial).
void PutTextDescriptor(uint8_t* d, uint8_t tag, const std::string& text) {
  d[0] = d[1] = d[2] = d[4] = 0;
  d[3] = tag;
  size_t i = 0;
  for (; i < 13 && i < text.size(); ++i) d[5 + i] = uint8_t(text[i]);
  if (i < 13) d[5 + i++] = 0x0A;
  for (; i < 13; ++i) d[5 + i] = 0x20;
}

void Checksum(uint8_t* block) {
  uint8_t sum = 0;
  for (int i = 0; i < 127; ++i) sum = uint8_t(sum + block[i]);
  block[127] = uint8_t(0x100 - sum);
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
  return out;
}

std::wstring ToWindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring out = L"Z:" + path;
  for (auto& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

std::wstring SimDirectory() {
  wchar_t buffer[1024];
  DWORD n = GetEnvironmentVariableW(L"SKY_USBSIM_DIR", buffer, 1024);
  if (n == 0 || n >= 1024) return {};
  std::wstring dir = ToWindowsPath(buffer);
  while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
  return dir;
}

bool IsValidDeviceName(const std::wstring& name) {
  if (name.empty() || name.size() > 32) return false;
  for (wchar_t c : name)
    if (!(iswalnum(c) && c < 128) && c != L'_' && c != L'-') return false;
  return true;
}

std::wstring InterfacePath(const std::wstring& simDir, const std::wstring& name) {
  return L"\\\\?\\" + simDir + L"\\" + kNodePrefix + name + kNodeSuffix;
}

std::vector<uint8_t> InterfaceBroadcast(const std::wstring& path, const GUID& classGuid) {
  const size_t pathBytes = (path.size() + 1) * sizeof(wchar_t);
  const size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + pathBytes;
  std::vector<uint8_t> block(bytes, 0);
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
  b->dbcc_size = DWORD(bytes);
  b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  b->dbcc_classguid = classGuid;
  memcpy(b->dbcc_name, path.c_str(), pathBytes);
  return block;
}

std::vector<uint8_t> HandleBroadcast(uintptr_t deviceHandle) {
  std::vector<uint8_t> block(sizeof(DEV_BROADCAST_HANDLE), 0);
  auto* b = reinterpret_cast<DEV_BROADCAST_HANDLE*>(block.data());
  b->dbch_size = DWORD(block.size());
  b->dbch_devicetype = DBT_DEVTYP_HANDLE;
  b->dbch_handle = reinterpret_cast<HANDLE>(deviceHandle);
  return block;
}

bool WriteDeviceHandle(const std::wstring& deviceDir, uintptr_t deviceHandle) {
  char text[32];
  snprintf(text, sizeof text, "%llx\n", static_cast<unsigned long long>(deviceHandle));
  return ReplaceFile(deviceDir + L"\\handle.txt", text);
}

bool ReadDeviceHandle(const std::wstring& deviceDir, uintptr_t* pDeviceHandle) {
  std::vector<std::string> lines;
  if (!ReadLines(deviceDir + L"\\handle.txt", lines) || lines.empty()) return false;
  char* end = nullptr;
  unsigned long long value = strtoull(lines[0].c_str(), &end, 16);
  if (end == lines[0].c_str() || *end != '\0') return false;
  *pDeviceHandle = uintptr_t(value);
  return true;
}

std::wstring DeviceNameFromPath(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  std::wstring leaf = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t prefixLen = wcslen(kNodePrefix), suffixLen = wcslen(kNodeSuffix);
  if (leaf.size() <= prefixLen + suffixLen) return {};
  // Wine and Windows report file names in the case they were created with;
  // compare without case anyway, as the file system does.
  if (_wcsnicmp(leaf.c_str(), kNodePrefix, prefixLen) != 0) return {};
  if (_wcsicmp(leaf.c_str() + leaf.size() - suffixLen, kNodeSuffix) != 0) return {};
  std::wstring name = leaf.substr(prefixLen, leaf.size() - prefixLen - suffixLen);
  return IsValidDeviceName(name) ? name : std::wstring();
}

bool RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring leaf = data.cFileName;
      if (leaf == L"." || leaf == L"..") continue;
      std::wstring path = dir + L"\\" + leaf;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  return RemoveDirectoryW(dir.c_str()) || GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::wstring DeviceDirectory(const std::wstring& simDir, const std::wstring& name) { return simDir + L"\\" + name; }

bool ParseDeviceLine(const std::string& raw, DeviceConfig& out) {
  std::string line = Trim(raw);
  if (line.empty() || line[0] == '#') return false;
  DeviceConfig d;
  size_t pos = 0;
  bool first = true;
  while (pos < line.size()) {
    size_t end = line.find_first_of(" \t", pos);
    if (end == std::string::npos) end = line.size();
    std::string word = line.substr(pos, end - pos);
    pos = line.find_first_not_of(" \t", end);
    if (pos == std::string::npos) pos = line.size();
    if (word.empty()) continue;
    if (first) {
      d.name = Widen(word);
      if (!IsValidDeviceName(d.name)) return false;
      first = false;
      continue;
    }
    size_t eq = word.find('=');
    if (eq == std::string::npos) return false;
    std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    long v = 0;
    if (key == "mode") {
      size_t x = value.find('x');
      long w = 0, h = 0;
      if (x == std::string::npos || !ParseInt(value.substr(0, x), w) || !ParseInt(value.substr(x + 1), h) || w < 32 ||
          h < 8 || w > 4095 || h > 4095)
        return false;
      d.width = int(w);
      d.height = int(h);
    } else if (key == "edid") {
      if (value == "none")
        d.edidSize = 0;
      else if (ParseInt(value, v) && (v == 128 || v == 256))
        d.edidSize = int(v);
      else
        return false;
    } else if (key == "keep") {
      if (!ParseInt(value, v) || v < -1) return false;
      d.keepFrames = int(v);
    } else {
      return false;
    }
  }
  if (first) return false;
  out = d;
  return true;
}

std::string FormatDeviceLine(const DeviceConfig& d) {
  char buf[160];
  snprintf(buf, sizeof buf, "%s mode=%dx%d edid=%s keep=%d", Narrow(d.name).c_str(), d.width, d.height,
           d.edidSize == 0 ? "none" : std::to_string(d.edidSize).c_str(), d.keepFrames);
  return buf;
}

std::vector<DeviceConfig> ReadDevices(const std::wstring& simDir) {
  std::vector<DeviceConfig> devices;
  std::vector<std::string> lines;
  if (simDir.empty() || !ReadLines(simDir + L"\\devices.txt", lines)) return devices;
  for (const auto& line : lines) {
    DeviceConfig d;
    if (ParseDeviceLine(line, d)) devices.push_back(d);
  }
  return devices;
}

bool CreateDeviceNode(const std::wstring& simDir, const std::wstring& name) {
  std::wstring path = InterfacePath(simDir, name);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool WriteDevices(const std::wstring& simDir, const std::vector<DeviceConfig>& devices) {
  std::string text = "# simulated USB display devices, in list order\n";
  for (const auto& d : devices) {
    if (!IsValidDeviceName(d.name) || !CreateDeviceNode(simDir, d.name)) return false;
    text += FormatDeviceLine(d) + "\n";
  }
  return ReplaceFile(simDir + L"\\devices.txt", text);
}

CfgMgrFaults ReadCfgMgrFaults(const std::wstring& simDir) {
  CfgMgrFaults faults;
  std::vector<std::string> lines;
  if (simDir.empty() || !ReadLines(simDir + L"\\cfgmgr.txt", lines)) return faults;
  for (const auto& raw : lines) {
    std::string line = Trim(raw);
    size_t eq = line.find('=');
    long v = 0;
    if (eq == std::string::npos || !ParseInt(line.substr(eq + 1), v)) continue;
    std::string key = line.substr(0, eq);
    if (key == "size_fail")
      faults.sizeFail = uint32_t(v);
    else if (key == "list_fail")
      faults.listFail = uint32_t(v);
    else if (key == "buffer_small")
      faults.bufferSmall = int(v);
  }
  return faults;
}

bool WriteCfgMgrFaults(const std::wstring& simDir, const CfgMgrFaults& faults) {
  char buf[128];
  snprintf(buf, sizeof buf, "size_fail=%lu\nlist_fail=%lu\nbuffer_small=%d\n", (unsigned long)faults.sizeFail,
           (unsigned long)faults.listFail, faults.bufferSmall);
  return ReplaceFile(simDir + L"\\cfgmgr.txt", buf);
}

std::vector<uint8_t> BuildEdid(const DeviceConfig& d) {
  std::vector<uint8_t> edid(256, 0);
  uint8_t* b = edid.data();
  const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  memcpy(b, header, 8);
  // Manufacturer "USM": three 5-bit letters, big-endian.
  uint16_t mfg = uint16_t(('U' - '@') << 10 | ('S' - '@') << 5 | ('M' - '@'));
  b[8] = uint8_t(mfg >> 8);
  b[9] = uint8_t(mfg);
  b[10] = 0x5A;
  b[11] = 0x7D;
  uint32_t serial = 0;
  for (wchar_t c : d.name) serial = serial * 31 + uint32_t(c);
  memcpy(b + 12, &serial, 4);
  b[16] = 1;   // week
  b[17] = 34;  // 2024
  b[18] = 1;   // EDID 1.3
  b[19] = 3;
  b[20] = 0x80;  // digital input
  b[21] = 53;    // 53 x 30 cm
  b[22] = 30;
  b[23] = 120;                                // gamma 2.2
  b[24] = 0x0A;                               // RGB colour, preferred timing in descriptor 1
  for (int i = 38; i < 54; ++i) b[i] = 0x01;  // no standard timings
  // Detailed timing: width x height at 60 Hz with modest blanking.
  const int hBlank = 160, vBlank = 30, hFront = 48, hSync = 32, vFront = 3, vSync = 5;
  const int clock10k = int((int64_t(d.width + hBlank) * (d.height + vBlank) * 60 + 5000) / 10000);
  uint8_t* t = b + 54;
  t[0] = uint8_t(clock10k);
  t[1] = uint8_t(clock10k >> 8);
  t[2] = uint8_t(d.width);
  t[3] = uint8_t(hBlank);
  t[4] = uint8_t((d.width >> 8) << 4 | (hBlank >> 8));
  t[5] = uint8_t(d.height);
  t[6] = uint8_t(vBlank);
  t[7] = uint8_t((d.height >> 8) << 4 | (vBlank >> 8));
  t[8] = uint8_t(hFront);
  t[9] = uint8_t(hSync);
  t[10] = uint8_t((vFront & 15) << 4 | (vSync & 15));
  t[11] = 0;
  t[12] = uint8_t(530);
  t[13] = uint8_t(300);
  t[14] = uint8_t((530 >> 8) << 4 | (300 >> 8));
  t[17] = 0x1E;  // digital separate sync, both polarities positive
  PutTextDescriptor(b + 72, 0xFC, "Usbsim " + Narrow(d.name));
  PutTextDescriptor(b + 90, 0xFF, Narrow(d.name));
  PutTextDescriptor(b + 108, 0xFE, "simulated");
  b[126] = 1;  // one extension block
  Checksum(b);
  // Extension: an empty CTA block (tag 2, revision 3, no data blocks).
  uint8_t* e = b + 128;
  e[0] = 0x02;
  e[1] = 0x03;
  e[2] = 0x04;
  Checksum(e);
  return edid;
}

std::vector<uint8_t> DeviceDescriptor() {
  // clang-format off
  return {18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 64,
          uint8_t(kVendorId), uint8_t(kVendorId >> 8), uint8_t(kProductId), uint8_t(kProductId >> 8),
          0x00, 0x01, 0, 0, 0, 1};
  // clang-format on
}

std::vector<uint8_t> ConfigurationDescriptor() {
  std::vector<uint8_t> c;
  PutDescriptor(c, {9, 0x02, 0, 0, 2, 1, 0, 0x80, 250});
  // Interface 0: not vendor-specific, so the vendor interface is the second one.
  PutDescriptor(c, {9, 0x04, 0, 0, 1, 0xFE, 0x01, 0x00, 0});
  PutDescriptor(c, {7, 0x05, 0x81, 0x03, 8, 0, 16});
  PutDescriptor(c, {9, 0x04, kVendorInterfaceNumber, 0, 2, 0xFF, 0x00, 0x00, 0});
  PutDescriptor(c, {7, 0x05, kBulkOutPipe, 0x02, 0x00, 0x02, 0});
  PutDescriptor(c, {7, 0x05, 0x83, 0x02, 0x00, 0x02, 0});
  c[2] = uint8_t(c.size());
  c[3] = uint8_t(c.size() >> 8);
  return c;
}

}  // namespace usbsim
