// Helpers of the log tests: per-test directories, file contents, and a child
// process whose standard output is captured.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace logtest {

// A fresh, empty directory for one test case, ending in a backslash.
std::wstring FreshDirectory(const char* szName);

std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Creates (or replaces) a file of exactly `size` bytes made of complete
// 100-byte lines "filler ...\r\n" (the last one shorter when size is not a
// multiple of 100).
bool MakeFilledFile(const std::wstring& path, uint32_t size);
uint64_t FileSize(const std::wstring& path);

// Lines of a CRLF file without their terminators; a last line without CRLF
// is returned as well and flagged through *pUnterminated.
std::vector<std::string> SplitCrlfLines(const std::string& bytes, bool* pUnterminated = nullptr);

struct ChildResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::string stdoutText;
};

// Runs log_probe.exe (next to the test executable) with the given arguments.
ChildResult RunProbe(const std::wstring& arguments);

std::string Narrow(const std::wstring& text);

}  // namespace logtest
