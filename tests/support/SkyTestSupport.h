// Helpers shared by the test programs of the application, the monitor
// management, the stand-ins and the system tests: the whole text of a file,
// how often a line occurs in it, the Windows path of this test's own
// directory, and the window class of a test's hidden window. Header-only;
// runs on the calling test thread.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

namespace skytest {

// Occurrences of `what` in `text` (overlapping ones included).
inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// The file's bytes; empty when it cannot be opened.
inline std::string ReadText(std::FILE* f) {
  std::string all;
  if (!f) return all;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
  std::fclose(f);
  return all;
}
inline std::string ReadText(const std::string& path) { return ReadText(std::fopen(path.c_str(), "rb")); }
inline std::string ReadText(const std::wstring& path) { return ReadText(_wfopen(path.c_str(), L"rb")); }

// A Unix path as Windows programs under Wine reach it: through drive Z:.
inline std::string UnixToWindows(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

// This test's own directory (SKY_TEST_TMP, a Unix path) as a Windows path,
// without a trailing backslash.
inline std::string TestTmpDir() {
  const char* root = std::getenv("SKY_TEST_TMP");
  return UnixToWindows(root ? root : "/tmp");
}

// Registers a window class of this module for a test's hidden window.
inline ATOM RegisterTestWindowClass(const wchar_t* szName, WNDPROC pfnWndProc) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = pfnWndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = szName;
  return RegisterClassExW(&wc);
}

}  // namespace skytest
