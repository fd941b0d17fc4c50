// Opening with the size probe and rotation: at opening, and while several
// threads write, with no line lost or torn.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LogFile.h"
#include "LogTestSupport.h"

namespace {

using namespace logtest;

constexpr uint32_t kThreshold = static_cast<uint32_t>(CLogFile::kRotateThreshold);

class LogRotation : public ::testing::Test {
 protected:
  void TearDown() override { CLogFile::Close(); }
};

TEST_F(LogRotation, OversizedLogIsMovedToTheBackupAtOpening) {
  const std::wstring dir = FreshDirectory("open_oversized");
  const std::wstring path = dir + L"Skyvane.log";
  ASSERT_TRUE(MakeFilledFile(path + L".1", 300));  // an older backup is replaced
  ASSERT_TRUE(MakeFilledFile(path, kThreshold + 1));
  ASSERT_NE(CLogFile::Instance(path.c_str()), nullptr);
  LOG_INFO("%s [%04d/%04d] %s [%s] first line\n");
  CLogFile::Close();
  EXPECT_EQ(FileSize(path + L".1"), kThreshold + 1u);
  const auto lines = SplitCrlfLines(ReadFileBytes(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("first line"), std::string::npos);
}

TEST_F(LogRotation, LogOfExactlyTheThresholdIsKeptAndAppended) {
  const std::wstring dir = FreshDirectory("open_exact");
  const std::wstring path = dir + L"Skyvane.log";
  ASSERT_TRUE(MakeFilledFile(path, kThreshold));
  ASSERT_NE(CLogFile::Instance(path.c_str()), nullptr);
  LOG_INFO("%s [%04d/%04d] %s [%s] appended\n");
  CLogFile::Close();
  EXPECT_FALSE(FileExists(path + L".1"));
  const std::string bytes = ReadFileBytes(path);
  EXPECT_GT(bytes.size(), static_cast<size_t>(kThreshold));
  EXPECT_EQ(bytes.compare(0, 7, "filler "), 0);
  EXPECT_NE(bytes.find("appended\r\n", kThreshold), std::string::npos);
}

TEST_F(LogRotation, MissingLogIsCreatedAndMissingBackupIsNoError) {
  const std::wstring path = FreshDirectory("open_missing") + L"Skyvane.log";
  CLogFile* pLog = CLogFile::Instance(path.c_str());
  ASSERT_NE(pLog, nullptr);
  // Later calls, with or without a path, hand out the same log.
  EXPECT_EQ(CLogFile::Instance(nullptr), pLog);
  EXPECT_EQ(CLogFile::Instance(L"Z:\\elsewhere\\Other.log"), pLog);
  pLog->Write("direct %s\n", "write");
  CLogFile::Close();
  EXPECT_EQ(CLogFile::Instance(nullptr), nullptr);
  EXPECT_EQ(ReadFileBytes(path), "direct write\r\n");
  EXPECT_FALSE(FileExists(path + L".1"));
}

TEST_F(LogRotation, UnopenablePathGivesNoLog) {
  const std::wstring path = FreshDirectory("open_bad") + L"no such dir\\Skyvane.log";
  EXPECT_EQ(CLogFile::Instance(path.c_str()), nullptr);
  EXPECT_EQ(CLogFile::Instance(nullptr), nullptr);
}

// Several threads write across the threshold: one rotation, and every line
// is found exactly once, complete, in the backup or in the new file.
TEST_F(LogRotation, RotationUnderConcurrentWritersLosesAndTearsNoLine) {
  const std::wstring dir = FreshDirectory("rotate_threads");
  const std::wstring path = dir + L"Skyvane.log";
  const uint32_t prefill = kThreshold - 1000;
  ASSERT_TRUE(MakeFilledFile(path, prefill));
  const size_t prefillLines = SplitCrlfLines(ReadFileBytes(path)).size();
  ASSERT_NE(CLogFile::Instance(path.c_str()), nullptr);

  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        LOG_INFO("%s [%04d/%04d] %s [%s] writer %d line %d %s\n", t, i, "payload-payload-payload");
    });
  }
  for (std::thread& w : writers) w.join();
  CLogFile::Close();

  bool unterminated[2] = {true, true};
  const auto backupLines = SplitCrlfLines(ReadFileBytes(path + L".1"), &unterminated[0]);
  const auto newLines = SplitCrlfLines(ReadFileBytes(path), &unterminated[1]);
  EXPECT_FALSE(unterminated[0]);
  EXPECT_FALSE(unterminated[1]);
  ASSERT_GT(backupLines.size(), prefillLines) << "the first lines belong to the old file";
  EXPECT_EQ(backupLines.size() + newLines.size(), prefillLines + kThreads * kLines);
  EXPECT_GT(FileSize(path + L".1"), kThreshold);
  EXPECT_LE(FileSize(path + L".1"), kThreshold + 200u) << "at most one line past the threshold";

  const std::regex ours(R"(^.{19} \[\d{4,}/\d{4,}\] \[INFO\]   \[.*\] writer (\d) line (\d+) payload-payload-payload$)");
  std::set<std::pair<int, int>> seen;
  for (const auto* pLines : {&backupLines, &newLines}) {
    for (const std::string& line : *pLines) {
      if (line.compare(0, 7, "filler ") == 0) continue;
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, ours)) << "torn line: " << line;
      EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second) << "duplicate: " << line;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
