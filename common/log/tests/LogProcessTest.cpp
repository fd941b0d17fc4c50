// What only another process can show: a second process of the program, the
// close racing with writers, and lines kept when a rotation fails.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "LogFile.h"
#include "LogTestSupport.h"

namespace {

using namespace logtest;

const std::regex kPrefix(
    R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[\d{4,}/\d{4,}\] (\[INFO\]  |\[ERROR\] ) \[[^\]]+\] .*$)");

TEST(LogProcesses, SecondProcessWritesToStandardOutput) {
  const std::wstring path = FreshDirectory("second") + L"Skyvane.log";
  // Kept at opening, then taken past the threshold by our first line: the
  // second process must not rotate it either.
  ASSERT_TRUE(MakeFilledFile(path, static_cast<uint32_t>(CLogFile::kRotateThreshold)));
  ASSERT_NE(CLogFile::Instance(path.c_str()), nullptr);
  LOG_INFO("first process\n");
  const uint64_t sizeBefore = FileSize(path);
  ASSERT_GT(sizeBefore, static_cast<uint64_t>(CLogFile::kRotateThreshold));

  const ChildResult child = RunProbe(L"second \"" + std::wstring(path) + L"\"");
  CLogFile::Close();

  EXPECT_EQ(child.exitCode, 0u) << "the second process must not get a log";
  const auto lines = SplitCrlfLines(child.stdoutText);
  ASSERT_EQ(lines.size(), 2u) << child.stdoutText;
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, kPrefix)) << line;
  EXPECT_NE(lines[0].find("[INFO]   [SecondProcess] second process line 1"), std::string::npos);
  EXPECT_NE(lines[1].find("[ERROR]  [SecondProcess] second process line 2"), std::string::npos);
  EXPECT_EQ(FileSize(path), sizeBefore);
  EXPECT_FALSE(FileExists(path + L".1"));
}

// Writers on several threads while the main thread closes the log: every
// line lands exactly once, complete, in the file or on standard output.
TEST(LogProcesses, CloseRacingWithWritersLosesNoLine) {
  const std::wstring path = FreshDirectory("race") + L"Skyvane.log";
  constexpr int kThreads = 4;
  constexpr int kLines = 400;
  const ChildResult child = RunProbe(L"race \"" + path + L"\" 4 400");
  ASSERT_EQ(child.exitCode, 0u) << child.stdoutText;

  const std::regex ours(R"(^.{19} \[\d{4,}/\d{4,}\] \[INFO\]   \[.*\] race (\d) (\d+) end$)");
  std::set<std::pair<int, int>> seen;
  size_t inFile = 0, onStdout = 0;
  bool unterminated = true;
  for (const std::string& text : {ReadFileBytes(path), child.stdoutText}) {
    const auto lines = SplitCrlfLines(text, &unterminated);
    EXPECT_FALSE(unterminated);
    for (const std::string& line : lines) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, ours)) << "torn line: " << line;
      EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second) << line;
    }
    (inFile == 0 && onStdout == 0 ? inFile : onStdout) = lines.size();
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
  EXPECT_GT(inFile, 0u);
  EXPECT_GT(onStdout, 0u) << "the close came after every line: no race was tested";
}

// A rename that fails during rotation (a directory in the backup's place)
// loses no line and sends none to standard output: the lines go on into the
// same file, and the log rotates once the backup can be written again, within
// the retry interval.
TEST(LogProcesses, FailedRotationKeepsLinesAndRecovers) {
  const std::wstring dir = FreshDirectory("rotfail");
  // Without the trailing backslash, which would escape the closing quote.
  const ChildResult child = RunProbe(L"rotfail \"" + dir.substr(0, dir.size() - 1) + L"\"");
  ASSERT_EQ(child.exitCode, 0u) << child.stdoutText;
  EXPECT_EQ(child.stdoutText, "");

  const std::string backup = ReadFileBytes(dir + L"Skyvane.log.1");
  // The old file, lines A to C after it, then the first D lines.
  ASSERT_GT(backup.size(), static_cast<size_t>(CLogFile::kRotateThreshold));
  EXPECT_LE(backup.size(), static_cast<size_t>(CLogFile::kRotateThreshold + CLogFile::kRotateRetryBytes + 200));
  const auto tail = SplitCrlfLines(backup.substr(CLogFile::kRotateThreshold));
  ASSERT_GE(tail.size(), 4u);
  EXPECT_NE(tail[0].find("] line A"), std::string::npos);
  EXPECT_NE(tail[1].find("] line B"), std::string::npos);
  EXPECT_NE(tail[2].find("] line C"), std::string::npos);

  const auto fresh = SplitCrlfLines(ReadFileBytes(dir + L"Skyvane.log"));
  ASSERT_FALSE(fresh.empty()) << "the log never rotated again";
  std::vector<std::string> dLines(tail.begin() + 3, tail.end());
  dLines.insert(dLines.end(), fresh.begin(), fresh.end());
  ASSERT_EQ(dLines.size(), 2000u);
  for (size_t i = 0; i < dLines.size(); ++i) {
    const std::string expected = "] line D " + std::to_string(i);
    EXPECT_EQ(dLines[i].compare(dLines[i].size() - expected.size(), expected.size(), expected), 0) << dLines[i];
  }
}

}  // namespace
