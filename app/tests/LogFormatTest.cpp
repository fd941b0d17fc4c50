// The fixed line format: time stamp, ids, tags, function names, message
// conversions and CRLF line ends.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <regex>
#include <string>

#include "LogFile.h"
#include "LogTestSupport.h"

namespace {

using logtest::FreshDirectory;
using logtest::ReadFileBytes;
using logtest::SplitCrlfLines;

const std::regex kLine(
    R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) \[(\d{4,})/(\d{4,})\] (\[INFO\]  |\[ERROR\] ) \[([^\]]*)\] (.*)$)");

class CFormatProbe {
 public:
  void Report(int value) {
    LOG_INFO("%s [%04d/%04d] %s [%s] value %d hr %X path %S name %s\n", value, 0x8007000Eu,
             L"\\\\?\\usb#vid_1d5c", "narrow");
  }
  void Fail(DWORD error) { LOG_ERROR("%s [%04d/%04d] %s [%s] failed err is %d\n", static_cast<int>(error)); }
};

LRESULT CALLBACK ProbeWndProc(HWND, UINT, WPARAM, LPARAM) {
  LOG_INFO("%s [%04d/%04d] %s [%s] from a window procedure\n");
  return 0;
}

TEST(LogFormat, EveryFieldOfALineHasItsFixedForm) {
  const std::wstring path = FreshDirectory("format") + L"Skyvane.log";
  ASSERT_NE(CLogFile::Instance(path.c_str()), nullptr);
  SYSTEMTIME before;
  GetLocalTime(&before);
  CFormatProbe probe;
  probe.Report(42);
  probe.Fail(5);
  ProbeWndProc(nullptr, 0, 0, 0);
  CLogFile::Close();

  const std::string bytes = ReadFileBytes(path);
  bool unterminated = true;
  const auto lines = SplitCrlfLines(bytes, &unterminated);
  EXPECT_FALSE(unterminated);
  // Every line feed is part of a CRLF pair.
  size_t lf = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] == '\n') {
      ++lf;
      EXPECT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
    }
  EXPECT_EQ(lf, 3u);
  ASSERT_EQ(lines.size(), 3u);

  struct Expected {
    const char* szTag;
    const char* szFunction;
    const char* szMessage;
  } expected[] = {
      {"[INFO]  ", "CFormatProbe::Report", "value 42 hr 8007000E path \\\\?\\usb#vid_1d5c name narrow"},
      {"[ERROR] ", "CFormatProbe::Fail", "failed err is 5"},
      {"[INFO]  ", "ProbeWndProc", "from a window procedure"},
  };
  char szPid[16], szTid[16];
  snprintf(szPid, sizeof(szPid), "%04lu", GetCurrentProcessId());
  snprintf(szTid, sizeof(szTid), "%04lu", GetCurrentThreadId());
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, kLine));
    EXPECT_EQ(m.position(7), 21) << "time stamp is not 19 characters";
    EXPECT_EQ(std::stoi(m[1]), before.wYear);
    EXPECT_EQ(m[7].str(), szPid);
    EXPECT_EQ(m[8].str(), szTid);
    EXPECT_EQ(m[9].str(), expected[i].szTag);
    EXPECT_EQ(m[9].length(), 8);
    EXPECT_EQ(m[10].str(), expected[i].szFunction);
    EXPECT_EQ(m[11].str(), expected[i].szMessage);
  }
}

// Without an open log the same text goes to standard output; nothing may
// reach a file.
TEST(LogFormat, LinesWithoutALogLeaveNoFile) {
  const std::wstring dir = FreshDirectory("nolog");
  ASSERT_EQ(CLogFile::Instance(nullptr), nullptr);
  LOG_INFO("%s [%04d/%04d] %s [%s] to standard output\n");
  EXPECT_FALSE(logtest::FileExists(dir + L"Skyvane.log"));
}

TEST(LogFormat, FunctionNamesComeOutQualifiedAndBare) {
  const struct {
    const char* szPretty;
    const char* szName;
  } cases[] = {
      {"int wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)", "wWinMain"},
      {"LRESULT WndProc(HWND, UINT, WPARAM, LPARAM)", "WndProc"},
      {"LONG my_exception_filter(EXCEPTION_POINTERS*)", "my_exception_filter"},
      {"bool CMonitorMgr::OnDeviceArrival(LPARAM)", "CMonitorMgr::OnDeviceArrival"},
      {"static CLogFile* CLogFile::Instance(const wchar_t*)", "CLogFile::Instance"},
      {"virtual bool CMonitorProcessor::Init(const wchar_t*)", "CMonitorProcessor::Init"},
      {"CMonitorProcessor::CMonitorProcessor(IMonitorProcessor::Delegate*)", "CMonitorProcessor::CMonitorProcessor"},
      {"virtual CMonitorProcessor::~CMonitorProcessor()", "CMonitorProcessor::~CMonitorProcessor"},
      {"CMonitorProcessor::Start()::<lambda()>", "CMonitorProcessor::Start"},
      {"std::vector<std::pair<int, int> > ns::CList<T>::Items(int) const [with T = int]", "ns::CList<T>::Items"},
      {"bool CKey::operator()(const CKey&) const", "CKey::operator()"},
      {"bool CKey::operator<(const CKey&) const", "CKey::operator<"},
      {"const char* Describe()", "Describe"},
      {"", ""},
  };
  for (const auto& c : cases) {
    char szName[128];
    LogFunctionName(c.szPretty, szName, sizeof(szName));
    EXPECT_STREQ(szName, c.szName) << c.szPretty;
  }
  char szShort[8];
  LogFunctionName("void CVeryLongClassName::Method()", szShort, sizeof(szShort));
  EXPECT_STREQ(szShort, "CVeryLo");
}

}  // namespace
