// Opening with the size probe and rotation: at opening, and while several
// threads write, with no line lost or torn.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
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

constexpr int kThreads = 4;
constexpr int kLinesPerThread = 300;
const std::regex kWriterLine(
    R"(^.{19} \[\d{4,}/\d{4,}\] \[INFO\]   \[.*\] writer (\d) phase (\d) line (\d+) payload-payload-payload$)");

// kThreads threads write kLinesPerThread lines each, tagged with `phase`.
void WriteFromThreads(int phase) {
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, phase] {
      for (int i = 0; i < kLinesPerThread; ++i)
        LOG_INFO("%s [%04d/%04d] %s [%s] writer %d phase %d line %d %s\n", t, phase, i, "payload-payload-payload");
    });
  }
  for (std::thread& w : writers) w.join();
}

// Checks that the backup and the log hold complete lines only (filler or
// WriteFromThreads lines), each writer line at most once; returns the
// writer lines found.
std::set<std::tuple<int, int, int>> WriterLinesOf(const std::wstring& path) {
  std::set<std::tuple<int, int, int>> seen;
  for (const std::wstring& file : {path + L".1", path}) {
    bool unterminated = true;
    const auto lines = SplitCrlfLines(ReadFileBytes(file), &unterminated);
    EXPECT_FALSE(unterminated) << Narrow(file);
    for (const std::string& line : lines) {
      if (line.compare(0, 7, "filler ") == 0) continue;
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, kWriterLine)) << "torn line: " << line;
      if (m.empty()) continue;
      EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])}).second) << "duplicate: " << line;
    }
  }
  return seen;
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

  WriteFromThreads(0);
  CLogFile::Close();

  const auto backupLines = SplitCrlfLines(ReadFileBytes(path + L".1"));
  const auto newLines = SplitCrlfLines(ReadFileBytes(path));
  ASSERT_GT(backupLines.size(), prefillLines) << "the first lines belong to the old file";
  EXPECT_EQ(backupLines.size() + newLines.size(), prefillLines + kThreads * kLinesPerThread);
  EXPECT_GT(FileSize(path + L".1"), kThreshold);
  EXPECT_LE(FileSize(path + L".1"), kThreshold + 200u) << "at most one line past the threshold";
  EXPECT_EQ(WriterLinesOf(path).size(), static_cast<size_t>(kThreads * kLinesPerThread));
}

// A reader (an editor, a support tool) holds the log or its backup open
// without delete sharing, so the rename of a rotation fails. Every line still
// lands exactly once in the two files, none on standard output; the log grows
// past the threshold only while the reader holds it, and rotates within the
// retry interval once the reader lets go.
TEST_F(LogRotation, ReaderWithoutDeleteSharingLosesNoLine) {
  struct Case {
    const char* name;
    const wchar_t* heldSuffix;  // "" the log, ".1" the backup
    uint32_t prefill;           // size of the log at opening
  };
  const Case cases[] = {
      {"log held, threshold crossed by writing", L"", kThreshold - 1000},
      {"backup held, threshold crossed by writing", L".1", kThreshold - 1000},
      {"backup held, log oversized at opening", L".1", kThreshold + 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = FreshDirectory(("held" + std::to_string(n++)).c_str()) + L"Skyvane.log";
    ASSERT_TRUE(MakeFilledFile(path, c.prefill));
    ASSERT_TRUE(MakeFilledFile(path + L".1", 300));
    HANDLE hReader = CreateFileW((path + c.heldSuffix).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hReader, INVALID_HANDLE_VALUE);
    ASSERT_NE(CLogFile::Instance(path.c_str()), nullptr) << "no log while a reader holds the backup";

    WriteFromThreads(0);
    CloseHandle(hReader);
    const uint64_t sizeWhileHeld = FileSize(path);
    WriteFromThreads(1);
    CLogFile::Close();

    EXPECT_GT(sizeWhileHeld, kThreshold) << "the threshold was never crossed";
    EXPECT_EQ(WriterLinesOf(path).size(), static_cast<size_t>(2 * kThreads * kLinesPerThread)) << "lines lost";
    // Rotated once the reader let go: the backup is the log as it was then,
    // plus what was written up to the next attempt.
    const uint64_t backupSize = FileSize(path + L".1");
    EXPECT_GE(backupSize, sizeWhileHeld);
    EXPECT_LE(backupSize, sizeWhileHeld + CLogFile::kRotateRetryBytes + 200u);
    EXPECT_GT(FileSize(path), 0u);
    EXPECT_LT(FileSize(path), kThreshold);
  }
}

}  // namespace
