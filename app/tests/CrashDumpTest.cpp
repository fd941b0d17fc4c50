// Tests of the unhandled-exception filter: the dump's name, place and
// content, its failure lines, and a real crash inside a log write (the
// crashing thread holds the log's lock) that must still leave a dump.
//
// The real crash runs in a child process: this executable started again with
// "--crash-in-log <log path>".
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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

std::string DumpPath(const std::string& dir, DWORD pid) { return dir + "\\Skyvane_" + std::to_string(pid) + ".dmp"; }

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
  std::string expected =
      "[ERROR]  [my_exception_filter] Create " + DumpPath(missing, GetCurrentProcessId()) + " failed, err 3\r\n";
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

// ---- Where the dump lands: never in a file that existed before, only
// SYSTEM and the Administrators admitted, dbghelp.dll from the system
// directory only.

std::string SidText(PSID pSid) {
  char* sz = nullptr;
  std::string text = pSid && ConvertSidToStringSidA(pSid, &sz) ? sz : "?";
  LocalFree(sz);
  return text;
}

// Windows keeps the DACL given at creation: SYSTEM and the Administrators.
// Wine keeps none: it maps the DACL to the file's Unix mode and reports the
// owner (the account that runs the test) beside SYSTEM. Either way nobody
// but these may be admitted, Everyone (S-1-1-0) above all. Returns the SIDs
// of the ACEs that are not: empty when none is.
std::vector<std::string> AdmittedBeyondSystemAdministratorsAndOwner(const std::string& path) {
  PSID pOwner = nullptr;
  PACL pDacl = nullptr;
  PSECURITY_DESCRIPTOR pSd = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &pOwner, nullptr, &pDacl, nullptr, &pSd) != ERROR_SUCCESS ||
      pDacl == nullptr)
    return {"no DACL"};
  std::vector<std::string> others;
  for (DWORD i = 0; i < pDacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* pAce = nullptr;
    if (!GetAce(pDacl, i, reinterpret_cast<void**>(&pAce)) || pAce->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const std::string sid = SidText(reinterpret_cast<PSID>(&pAce->SidStart));
    if (sid != "S-1-5-18" && sid != "S-1-5-32-544" && sid != SidText(pOwner)) others.push_back(sid);
  }
  LocalFree(pSd);
  return others;
}

// A file left at the dump's name by another account, open to everyone.
bool MakeForeignFile(const std::string& path) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
  ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)", SDDL_REVISION_1, &sa.lpSecurityDescriptor,
                                                       nullptr);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(sa.lpSecurityDescriptor);
  DWORD written = 0;
  const bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, "earlier", 7, &written, nullptr);
  CloseHandle(h);
  return ok && AdmittedBeyondSystemAdministratorsAndOwner(path) == std::vector<std::string>{"S-1-1-0"};
}

TEST(CrashDump, DumpFileIsNeverReusedAndAdmitsOnlySystemAndAdministrators) {
  struct Case {
    const char* name;
    bool foreignFile;  // a file open to everyone is already there
    bool heldOpen;     // ... and its owner holds it open (no delete sharing)
  };
  const Case cases[] = {
      {"no earlier file", false, false},
      {"earlier file open to everyone", true, false},
      {"earlier file held open", true, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = TestDir(("owned" + std::to_string(n++)).c_str());
    SetEnvironmentVariableA("TEMP", dir.c_str());
    const std::string path = DumpPath(dir, GetCurrentProcessId());
    DeleteFileA(path.c_str());
    if (c.foreignFile) {
      ASSERT_TRUE(MakeForeignFile(path));
    }
    HANDLE hHeld = c.heldOpen ? CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                              : INVALID_HANDLE_VALUE;
    const std::string log = dir + "\\Skyvane.log";
    DeleteFileA(log.c_str());
    ASSERT_NE(CLogFile::Instance(std::wstring(log.begin(), log.end()).c_str()), nullptr);
    FakeCrash crash;
    EXPECT_EQ(my_exception_filter(&crash.pointers), EXCEPTION_CONTINUE_SEARCH);
    CLogFile::Close();
    if (hHeld != INVALID_HANDLE_VALUE) CloseHandle(hHeld);

    const std::string dump = ReadText(path);
    if (c.heldOpen) {
      // The file cannot be removed: no dump goes into it, and the log says why.
      EXPECT_EQ(dump, "earlier");
      EXPECT_NE(ReadText(log).find("[ERROR]  [my_exception_filter] Remove old " + path + " failed, err 32\r\n"),
                std::string::npos)
          << ReadText(log);
    } else {
      EXPECT_EQ(dump.substr(0, 4), "MDMP");
      EXPECT_EQ(AdmittedBeyondSystemAdministratorsAndOwner(path), std::vector<std::string>{});
    }
  }
}

// A dbghelp.dll beside the program (planted there by the build, as anyone
// who can write to the program's directory could) is never loaded: its
// MiniDumpWriteDump would write "PLANTED".
TEST(CrashDump, DbgHelpBesideTheProgramIsNeverLoaded) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string planted(exe);
  planted = planted.substr(0, planted.find_last_of('\\') + 1) + "dbghelp.dll";
  ASSERT_NE(GetFileAttributesA(planted.c_str()), INVALID_FILE_ATTRIBUTES) << planted;
  const std::string dir = TestDir("planted");
  SetEnvironmentVariableA("TEMP", dir.c_str());
  FakeCrash crash;
  EXPECT_EQ(my_exception_filter(&crash.pointers), EXCEPTION_CONTINUE_SEARCH);
  EXPECT_EQ(ReadText(DumpPath(dir, GetCurrentProcessId())).substr(0, 4), "MDMP");
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
