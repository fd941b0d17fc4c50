// The fixed line format: time stamp, ids, tags, function names, message
// conversions and CRLF line ends.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
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
    LOG_INFO("value %d hr %X path %S name %s\n", value, 0x8007000Eu, L"\\\\?\\usb#vid_1d5c", "narrow");
  }
  void Fail(DWORD error) { LOG_ERROR("failed err is %d\n", static_cast<int>(error)); }
};

LRESULT CALLBACK ProbeWndProc(HWND, UINT, WPARAM, LPARAM) {
  LOG_INFO("from a window procedure\n");
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

// Without an open log (before it is opened, after it is closed) a line goes
// to standard output with the same prefix and message as in the file.
TEST(LogFormat, LinesWithoutALogGoToStandardOutputInFullFormat) {
  const std::wstring path = FreshDirectory("nolog") + L"Skyvane.log";
  const logtest::ChildResult child = logtest::RunProbe(L"nolog \"" + path + L"\"");
  ASSERT_EQ(child.exitCode, 0u) << child.stdoutText;

  bool unterminated = true;
  const auto out = SplitCrlfLines(child.stdoutText, &unterminated);
  EXPECT_FALSE(unterminated);
  const auto file = SplitCrlfLines(ReadFileBytes(path));
  ASSERT_EQ(out.size(), 2u) << child.stdoutText;
  ASSERT_EQ(file.size(), 1u);

  std::smatch inFile;
  ASSERT_TRUE(std::regex_match(file[0], inFile, kLine)) << file[0];
  EXPECT_EQ(inFile[11].str(), "while open 2");
  const struct {
    const char* szTag;
    const char* szMessage;
  } expected[] = {{"[INFO]  ", "before open 1 hr 8007000E"}, {"[ERROR] ", "after close wide"}};
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(out[i]);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out[i], m, kLine));
    EXPECT_EQ(m.position(7), 21) << "time stamp is not 19 characters";
    // Same process and thread as the line in the file.
    EXPECT_EQ(m[7].str(), inFile[7].str());
    EXPECT_EQ(m[8].str(), inFile[8].str());
    EXPECT_EQ(m[9].str(), expected[i].szTag);
    EXPECT_EQ(m[10].str(), "NoLog");
    EXPECT_EQ(m[11].str(), expected[i].szMessage);
  }
}

// The guard that stops a call site from passing the prefix the macros add:
// only a format that begins with the whole prefix is refused.
TEST(LogFormat, OnlyAFormatBeginningWithTheWholePrefixRepeatsIt) {
  const struct {
    const char* szFormat;
    bool repeats;
  } cases[] = {
      {SKY_LOG_PREFIX "Init succ\n", true},
      {SKY_LOG_PREFIX, true},
      {"%s [%04d/%04d] %s [%s]", false},  // one character short
      {"%s [%04d/%04d] %s [%s]  CreateFile failed err is %d\n", true},
      {" CreateFile failed err is %d\n", false},
      {"Init succ %s [%04d/%04d] %s [%s] \n", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(LogFormatRepeatsPrefix(c.szFormat), c.repeats) << c.szFormat;
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
      // Functions nested in another function: the enclosing name, "::" and
      // the nested name, every lambda shown as "<lambda>".
      {"CMonitorProcessor::Start()::<lambda()>", "CMonitorProcessor::Start::<lambda>"},
      {"static void CFoo::Bar()::Local::Run(int)", "CFoo::Bar::Local::Run"},
      {"int CFoo::Bar()::Local::Get() const", "CFoo::Bar::Local::Get"},
      {"CFoo::Bar()::<lambda()>::<lambda(const std::vector<int>&)>", "CFoo::Bar::<lambda>::<lambda>"},
      {"CFoo::Bar()::<lambda()> mutable", "CFoo::Bar::<lambda>"},
      {"CFoo::Bar()::<lambda(auto:3)> [with auto:3 = int]", "CFoo::Bar::<lambda>"},
      {"CFoo::Baz() const::L::Run()::<lambda()>", "CFoo::Baz::L::Run::<lambda>"},
      {"CFoo::Tm<int>(int)::<lambda()>", "CFoo::Tm<int>::<lambda>"},
      {"{anonymous}::A::f() const::<lambda()>", "A::f::<lambda>"},
      {"void CFoo::Bar(int (*)(int))::Local::Run()", "CFoo::Bar::Local::Run"},
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
  // A nested name is cut at the output's size wherever the cut falls.
  for (size_t cch = 1; cch <= 35; ++cch) {
    char szOut[40];
    std::memset(szOut, 'x', sizeof(szOut));
    LogFunctionName("CMonitorProcessor::Start()::<lambda()>", szOut, cch);
    EXPECT_EQ(std::string(szOut), std::string("CMonitorProcessor::Start::<lambda>").substr(0, cch - 1));
    EXPECT_EQ(szOut[cch], 'x') << "written past " << cch << " characters";
  }
}

}  // namespace
