// Outside text in the log: every escape form, and one LOG_* call writing
// exactly one line whatever the text holds.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "LogFile.h"
#include "LogTestSupport.h"
#include "LogText.h"

namespace {

TEST(LogText, EverythingOutsidePrintableAsciiIsEscaped) {
  struct Case {
    std::wstring text;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"\\\\?\\usb#vid_1209&pid_7d5a#dev1#{1b866a70}", L"\\\\?\\usb#vid_1209&pid_7d5a#dev1#{1b866a70}"},
      {L"a\nb", L"a\\x0Ab"},
      {L"a\r\nb", L"a\\x0D\\x0Ab"},
      {std::wstring(L"nul\0end", 7), L"nul\\x00end"},
      {L"\t\x1B[2J\x7F", L"\\x09\\x1B[2J\\x7F"},
      {L"\x85next", L"\\x85next"},               // C1 next line
      {L"\x2028\x2029", L"\\u2028\\u2029"},      // line and paragraph separators
      {L"caf\xE9 \x4E2D", L"caf\\xE9 \\u4E2D"},  // not ASCII: no code-page conversion can fail
      {L"\xD800", L"\\uD800"},                   // an unpaired surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(LogText(c.text), c.expected) << logtest::Narrow(c.expected);
  EXPECT_EQ(LogText(static_cast<const wchar_t*>(nullptr)), L"(null)");
  EXPECT_EQ(LogText(L"a\nb"), L"a\\x0Ab");
}

TEST(LogText, AForgedLineInAPathStaysInsideItsOwnLine) {
  const std::wstring path = logtest::FreshDirectory("logtext") + L"Skyvane.log";
  ASSERT_NE(CLogFile::Instance(path.c_str()), nullptr);
  const std::wstring forged =
      L"\\\\?\\pipe\\x\r\n2026-01-01 00:00:00 [0001/0001] [INFO]   [WndProc] s_monMgr.OnDeviceRemove succ\r\n";
  LOG_INFO("path is %S\n", LogText(forged).c_str());
  CLogFile::Close();
  bool unterminated = false;
  std::vector<std::string> lines = logtest::SplitCrlfLines(logtest::ReadFileBytes(path), &unterminated);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_FALSE(unterminated);
  EXPECT_NE(lines[0].find("path is \\\\?\\pipe\\x\\x0D\\x0A2026-01-01"), std::string::npos) << lines[0];
}

}  // namespace
