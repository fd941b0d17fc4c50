// Tests of the unhandled-exception filter: the dump's name, place and
// content, its failure lines, and a real crash inside a log write (the
// crashing thread holds the log's lock) that must still leave a dump.
//
// The real crash runs in a child process: this executable started again with
// "--crash-in-log <log path>".
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "CrashDump.h"
#include "LogFile.h"
#include "SkyTestSupport.h"

namespace {

using skytest::ReadText;

std::string TestDir(const char* leaf) {
  std::string dir = skytest::TestTmpDir() + "\\" + leaf;
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

std::string DumpPath(const std::string& dir, DWORD pid) {
  return dir + "\\Skyvane_" + std::to_string(pid) + ".dmp";
}

// A real access violation's context, as the system would hand it over.
struct FakeCrash {
  EXCEPTION_RECORD record{};
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  FakeCrash() {
    RtlCaptureContext(&context);
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 1;
    record.ExceptionInformation[1] = 0x10;
  }
};

TEST(CrashDump, WritesAFullDumpNamedAfterTheProcessIntoTemp) {
  std::string dir = TestDir("dump");
  SetEnvironmentVariableA("TEMP", dir.c_str());
  std::string path = DumpPath(dir, GetCurrentProcessId());
  // An older dump of a process with the same id is replaced.
  {
    std::ofstream old(path, std::ios::binary);
    old << std::string(100000, 'x');
  }
  FakeCrash crash;
  EXPECT_EQ(my_exception_filter(&crash.pointers), EXCEPTION_CONTINUE_SEARCH);
  std::string dump = ReadText(path);
  ASSERT_GE(dump.size(), 4u);
  EXPECT_EQ(dump.substr(0, 4), "MDMP");
  // Full memory: the dump holds far more than thread stacks and module lists.
  EXPECT_GT(dump.size(), 1000000u);
  EXPECT_EQ(path.find("Skyvane_0"), std::string::npos);  // no leading zeros
}

TEST(CrashDump, UncreatableDumpIsLoggedWithItsNameAndError) {
  std::string dir = TestDir("log1");
  std::string log = dir + "\\Skyvane.log";
  DeleteFileA(log.c_str());
  std::wstring wlog(log.begin(), log.end());
  ASSERT_NE(CLogFile::Instance(wlog.c_str()), nullptr);
  std::string missing = dir + "\\no\\such\\dir";
  SetEnvironmentVariableA("TEMP", missing.c_str());
  FakeCrash crash;
  EXPECT_EQ(my_exception_filter(&crash.pointers), EXCEPTION_CONTINUE_SEARCH);
  CLogFile::Close();
  std::string text = ReadText(log);
  EXPECT_NE(text.find("[INFO]   [my_exception_filter] pelorus crash, so make dump file...\r\n"), std::string::npos)
      << text;
  std::string expected = "[ERROR]  [my_exception_filter] Create " + DumpPath(missing, GetCurrentProcessId()) +
                         " failed, err 3\r\n";
  EXPECT_NE(text.find(expected), std::string::npos) << text;
}

TEST(CrashDump, CrashWhileHoldingTheLogStillWritesTheDump) {
  std::string dir = TestDir("inlog");
  std::string log = dir + "\\Skyvane.log";
  std::string out = dir + "\\stdout.txt";
  DeleteFileA(out.c_str());
  SetEnvironmentVariableA("TEMP", dir.c_str());

  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string cmd = std::string("\"") + exe + "\" --crash-in-log \"" + log + "\"";
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE hOut = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(hOut, INVALID_HANDLE_VALUE);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = hOut;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
  CloseHandle(hOut);
  // The filter gives up on the log after a bounded wait; the process must end.
  DWORD wait = WaitForSingleObject(pi.hProcess, 60000);
  if (wait != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  EXPECT_EQ(wait, WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_NE(code, 0u);  // it crashed, it did not return
  std::string dump = ReadText(DumpPath(dir, pi.dwProcessId));
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  ASSERT_GE(dump.size(), 4u);
  EXPECT_EQ(dump.substr(0, 4), "MDMP");
  // The log was locked by the crashed writer: the filter's line went to stdout.
  std::string text = ReadText(out);
  EXPECT_NE(text.find("[my_exception_filter] pelorus crash, so make dump file...\n"), std::string::npos) << text;
  EXPECT_EQ(ReadText(log).find("pelorus"), std::string::npos);
}

// Child: a log line whose argument faults inside the log's write, with the
// filter installed as wWinMain installs it.
int CrashInLog(const char* logPath) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(my_exception_filter);
  std::string narrow(logPath);
  std::wstring wide(narrow.begin(), narrow.end());
  if (!CLogFile::Instance(wide.c_str())) return 2;
  const char* bad = reinterpret_cast<const char*>(0x10);
  CLogFile::Emit("%s [%04d/%04d] %s [%s] about to fault %s\n", "2024-01-01 00:00:00", 1, 1, "[INFO]  ", "CrashInLog",
                 bad);
  return 3;  // not reached
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--crash-in-log") return CrashInLog(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
