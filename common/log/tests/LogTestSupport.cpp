// Helpers of the log tests (see LogTestSupport.h).
#include "LogTestSupport.h"

#include <cstdlib>
#include <cstring>
#include <thread>

namespace logtest {

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring TestRoot() {
  // SKY_TEST_TMP is the Unix path of this test's directory; Wine maps the
  // Unix root to drive Z:.
  const char* szUnix = std::getenv("SKY_TEST_TMP");
  std::wstring root;
  if (szUnix != nullptr && szUnix[0] == '/') {
    root = L"Z:" + Widen(szUnix);
    for (wchar_t& c : root)
      if (c == L'/') c = L'\\';
  } else {
    wchar_t szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    root = szTemp;
  }
  if (root.back() != L'\\') root += L'\\';
  return root;
}

void DeleteTree(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW((dir + L"*").c_str(), &data);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteTree(dir + name + L"\\");
      } else {
        DeleteFileW((dir + name).c_str());
      }
    } while (FindNextFileW(h, &data));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += static_cast<char>(c < 128 ? c : '?');
  return out;
}

std::wstring FreshDirectory(const char* szName) {
  const std::wstring dir = TestRoot() + Widen(szName) + L"\\";
  DeleteTree(dir);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(h, buffer, sizeof(buffer), &read, nullptr) && read != 0) bytes.append(buffer, read);
  CloseHandle(h);
  return bytes;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool MakeFilledFile(const std::wstring& path, uint32_t size) {
  std::string line(98, 'f');
  std::memcpy(line.data(), "filler ", 7);
  line += "\r\n";
  std::string content;
  content.reserve(size);
  while (content.size() + line.size() <= size) content += line;
  if (content.size() < size) {
    const size_t rest = size - content.size();
    // A shorter last line, still "filler ..." when there is room for it.
    std::string last = rest >= 9 ? "filler " + std::string(rest - 9, 'f') + "\r\n" : std::string(rest, '\n');
    content += last;
  }
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) && written == content.size();
  CloseHandle(h);
  return ok;
}

std::vector<std::string> SplitCrlfLines(const std::string& bytes, bool* pUnterminated) {
  std::vector<std::string> lines;
  size_t start = 0;
  if (pUnterminated != nullptr) *pUnterminated = false;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start));
      if (pUnterminated != nullptr) *pUnterminated = true;
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

ChildResult RunProbe(const std::wstring& arguments) {
  ChildResult result;
  wchar_t szSelf[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
  std::wstring exe = szSelf;
  exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"log_probe.exe";

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE hRead = nullptr, hWrite = nullptr;
  if (!CreatePipe(&hRead, &hWrite, &inherit, 0)) return result;
  SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = hWrite;
  si.hStdError = hWrite;
  PROCESS_INFORMATION pi = {};
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  const BOOL started =
      CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(hWrite);
  if (!started) {
    CloseHandle(hRead);
    return result;
  }
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(hRead, buffer, sizeof(buffer), &read, nullptr) && read != 0) result.stdoutText.append(buffer, read);
  CloseHandle(hRead);
  WaitForSingleObject(pi.hProcess, 60000);
  GetExitCodeProcess(pi.hProcess, &result.exitCode);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return result;
}

}  // namespace logtest
