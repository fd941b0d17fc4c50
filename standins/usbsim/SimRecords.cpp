// Reader of the recording each simulated device keeps (usb.log, frames.txt).
// Any thread; reads files only.
#include "SimRecords.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace usbsim {

namespace {

std::vector<std::string> ReadLines(const std::wstring& path) {
  std::vector<std::string> lines;
  std::vector<uint8_t> bytes = ReadWholeFile(path);
  std::string line;
  for (uint8_t c : bytes) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line.push_back(char(c));
    }
  }
  // A line without its end is still being written: leave it out.
  return lines;
}

// The value of "key=" in the line, or empty.
std::string Field(const std::string& line, const char* key) {
  std::string k = std::string(" ") + key + "=";
  size_t p = line.find(k);
  if (p == std::string::npos) return {};
  p += k.size();
  size_t e = line.find(' ', p);
  return line.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  if (text == "-") return true;
  if (text.size() % 2) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(uint8_t(hi << 4 | lo));
  }
  return true;
}

}  // namespace

std::string HexBytes(const uint8_t* data, size_t size) {
  if (size == 0) return "-";
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  fclose(f);
  return bytes;
}

bool ParseUsbEvent(const std::string& line, UsbEvent& out) {
  UsbEvent e;
  e.text = line;
  size_t sp = line.find(' ');
  e.kind = line.substr(0, sp);
  std::string ok = Field(line, "ok");
  e.ok = ok.empty() || ok == "1";
  if (e.kind == "CTRL") {
    if (sp == std::string::npos || line.size() < sp + 17) return false;
    std::vector<uint8_t> setup;
    if (!ParseHex(line.substr(sp + 1, 16), setup) || setup.size() != 8) return false;
    memcpy(e.setup, setup.data(), 8);
    if (!ParseHex(Field(line, "data"), e.data)) return false;
  } else if (e.kind == "BULK") {
    e.length = uint32_t(strtoul(Field(line, "len").c_str(), nullptr, 10));
    std::string frame = Field(line, "frame");
    e.frame = frame == "-" || frame.empty() ? -1 : strtol(frame.c_str(), nullptr, 10);
  } else if (e.kind == "DESC") {
    e.length = uint32_t(strtoul(Field(line, "len").c_str(), nullptr, 10));
  } else if (e.kind != "INIT" && e.kind != "POLICY" && e.kind != "RESET" && e.kind != "FREE") {
    return false;
  }
  out = e;
  return true;
}

bool ParseFrameRecord(const std::string& line, FrameRecord& out) {
  FrameRecord r;
  char file[300] = {};
  unsigned long received = 0, saved = 0;
  if (sscanf(line.c_str(), "%ld %d %d %lu %lu %299s", &r.index, &r.width, &r.height, &received, &saved, file) != 6)
    return false;
  r.received = uint32_t(received);
  r.saved = uint32_t(saved);
  r.file = file;
  out = r;
  return true;
}

std::vector<UsbEvent> ReadUsbLog(const std::wstring& deviceDir) {
  std::vector<UsbEvent> events;
  for (const auto& line : ReadLines(deviceDir + L"\\usb.log")) {
    UsbEvent e;
    if (ParseUsbEvent(line, e)) events.push_back(e);
  }
  return events;
}

std::vector<FrameRecord> ReadFrameIndex(const std::wstring& deviceDir) {
  std::vector<FrameRecord> frames;
  for (const auto& line : ReadLines(deviceDir + L"\\frames.txt")) {
    FrameRecord r;
    if (ParseFrameRecord(line, r)) frames.push_back(r);
  }
  return frames;
}

}  // namespace usbsim
