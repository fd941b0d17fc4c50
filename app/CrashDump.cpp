// The unhandled-exception filter (see CrashDump.h). Runs on the crashing
// thread; the process is going down, so nothing here is released that the
// system would not release anyway, and nothing waits without a bound.
//
// The dump is written from inside the crashing process, by design. That has
// limits: Microsoft's documentation of MiniDumpWriteDump advises calling it
// from another process where possible, because a process that just crashed
// is unstable (a loader lock or heap lock held by a stopped thread can make
// the writer hang or fail). A stack overflow is the hardest case: the filter
// then runs on the few pages left below the guard page, and the dump writer
// needs far more, so such a crash usually leaves an empty or no dump. Only a
// helper process (or the system's own error reporting) would cover it.
#include "CrashDump.h"

#include <dbghelp.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "LogFile.h"

namespace {

// One line on its way to the log. The filter may give up waiting for it; the
// writer thread then still owns the slot, so slots live in static storage
// and are never reused: one crash writes at most two lines.
struct PendingLine {
  volatile LONG claimed;
  char szLine[1024];
};
PendingLine s_lines[16];

// Writes straight to the standard output handle: no CRT stream lock, which
// the crashing thread or another one may be holding.
void WriteToStdoutHandle(const char* szLine) {
  HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
  if (hOut == nullptr || hOut == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(hOut, szLine, static_cast<DWORD>(strlen(szLine)), &written, nullptr);
}

DWORD WINAPI EmitLine(void* pParam) {
  CLogFile::Emit("%s", static_cast<PendingLine*>(pParam)->szLine);
  return 0;
}

// Writes one line the way LOG_INFO / LOG_ERROR do, but hands the write to a
// helper thread and waits for it at most kLogWaitMs: the crashing thread may
// hold the log's lock itself (a crash inside a log write), or another thread
// may hold it for good. On time-out the line goes to standard output.
void CrashLog(const char* szTag, const char* szFormat, ...) __attribute__((format(gnu_printf, 2, 3)));
void CrashLog(const char* szTag, const char* szFormat, ...) {
  const LogLinePrefix prefix(szTag, "my_exception_filter()");
  PendingLine* pLine = nullptr;
  for (auto& slot : s_lines) {
    if (InterlockedCompareExchange(&slot.claimed, 1, 0) == 0) {
      pLine = &slot;
      break;
    }
  }
  char szLocal[1024];
  char* szLine = pLine ? pLine->szLine : szLocal;
  const size_t cch = pLine ? sizeof(pLine->szLine) : sizeof(szLocal);
  int n = snprintf(szLine, cch, SKY_LOG_PREFIX, prefix.szTime, prefix.processId, prefix.threadId, prefix.szTag,
                   prefix.szFunction);
  if (n < 0) n = 0;
  if (static_cast<size_t>(n) < cch) {
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szLine + n, cch - static_cast<size_t>(n), szFormat, args);
    va_end(args);
  }
  if (pLine != nullptr) {
    HANDLE hThread = CreateThread(nullptr, 64 * 1024, EmitLine, pLine, 0, nullptr);
    if (hThread != nullptr) {
      const DWORD wait = WaitForSingleObject(hThread, crashdump::kLogWaitMs);
      CloseHandle(hThread);
      if (wait == WAIT_OBJECT_0) return;
    }
  }
  WriteToStdoutHandle(szLine);
}

// The dump's security: a protected DACL that admits SYSTEM and the
// Administrators only, so that no ACE of the (shared) temporary directory is
// inherited. Built in the caller's storage with no heap, which may be what
// crashed. False with the Win32 error in *pErr.
struct DumpSecurity {
  SECURITY_DESCRIPTOR sd;
  BYTE sidSystem[SECURITY_MAX_SID_SIZE];
  BYTE sidAdmins[SECURITY_MAX_SID_SIZE];
  // The ACL header and two ACEs, each of an ACE header, a mask and a SID.
  BYTE acl[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
};

bool MakeDumpSecurity(DumpSecurity& s, SECURITY_ATTRIBUTES& sa, DWORD* pErr) {
  DWORD cbSystem = sizeof(s.sidSystem);
  DWORD cbAdmins = sizeof(s.sidAdmins);
  auto* pAcl = reinterpret_cast<ACL*>(s.acl);
  // Microsoft's documentation of SetSecurityDescriptorControl: a protected
  // DACL takes in no inheritable ACEs of the parent.
  const bool ok = CreateWellKnownSid(WinLocalSystemSid, nullptr, s.sidSystem, &cbSystem) &&
                  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, s.sidAdmins, &cbAdmins) &&
                  InitializeAcl(pAcl, sizeof(s.acl), ACL_REVISION) &&
                  AddAccessAllowedAce(pAcl, ACL_REVISION, FILE_ALL_ACCESS, s.sidSystem) &&
                  AddAccessAllowedAce(pAcl, ACL_REVISION, FILE_ALL_ACCESS, s.sidAdmins) &&
                  InitializeSecurityDescriptor(&s.sd, SECURITY_DESCRIPTOR_REVISION) &&
                  SetSecurityDescriptorDacl(&s.sd, TRUE, pAcl, FALSE) &&
                  SetSecurityDescriptorControl(&s.sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  if (!ok) {
    *pErr = GetLastError();
    return false;
  }
  sa.nLength = sizeof(sa);
  sa.lpSecurityDescriptor = &s.sd;
  sa.bInheritHandle = FALSE;
  return true;
}

// dbghelp.dll from the system directory only: one beside the program (or in
// the current directory) is never loaded into a SYSTEM process.
HMODULE LoadSystemDbgHelp() {
  // Microsoft's documentation of LoadLibraryEx and AddDllDirectory: the
  // LOAD_LIBRARY_SEARCH_* flags need Windows 8, or Windows 7 with KB2533623,
  // which also adds AddDllDirectory to kernel32 (its presence tells whether
  // the flags work); without it the call fails. A fully qualified path makes
  // LoadLibraryEx look at that path only, and LOAD_WITH_ALTERED_SEARCH_PATH
  // resolves the DLL's own imports from its directory first.
  HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
  if (hKernel != nullptr && GetProcAddress(hKernel, "AddDllDirectory") != nullptr)
    return LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  static constexpr wchar_t kName[] = L"\\dbghelp.dll";
  wchar_t szPath[MAX_PATH];
  const UINT cch = GetSystemDirectoryW(szPath, MAX_PATH);
  if (cch == 0 || cch + sizeof(kName) / sizeof(kName[0]) > MAX_PATH) return nullptr;
  memcpy(szPath + cch, kName, sizeof(kName));
  return LoadLibraryExW(szPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

LONG WINAPI my_exception_filter(EXCEPTION_POINTERS* pExceptionInfo) {
  CrashLog("[INFO]  ", "pelorus crash, so make dump file...\n");

  char szTempDir[MAX_PATH] = {};
  const DWORD cchTemp = ExpandEnvironmentStringsA("%temp%", szTempDir, MAX_PATH);
  // A directory that does not fit leaves the buffer without a usable name;
  // it is refused like a missing one rather than cut to a wrong directory.
  if (cchTemp == 0 || cchTemp > MAX_PATH) {
    CrashLog("[ERROR] ", "Get string temp failed\n");
    return EXCEPTION_CONTINUE_SEARCH;
  }

  char szDumpPath[MAX_PATH] = {};
  snprintf(szDumpPath, MAX_PATH, "%s\\Skyvane_%d.dmp", szTempDir, static_cast<int>(GetCurrentProcessId()));

  // A SYSTEM process started by a service shares its temporary directory
  // with every user. Microsoft's documentation of creating files: the
  // security attributes apply only when the file is new; CREATE_ALWAYS on an
  // existing file keeps that file's security, so a user who created the name
  // first could read the dump. Hence: remove whatever is there, then create
  // the file anew (CREATE_NEW fails if anything took the name meanwhile),
  // with a DACL of our own. When that cannot be done, no dump is written.
  DumpSecurity security;
  SECURITY_ATTRIBUTES sa;
  DWORD err = 0;
  if (!MakeDumpSecurity(security, sa, &err)) {
    CrashLog("[ERROR] ", "Make dump security failed, err %d\n", static_cast<int>(err));
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (!DeleteFileA(szDumpPath)) {
    err = GetLastError();
    // No file, or no directory (creating then fails and says so).
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) {
      CrashLog("[ERROR] ", "Remove old %s failed, err %d\n", szDumpPath, static_cast<int>(err));
      return EXCEPTION_CONTINUE_SEARCH;
    }
  }
  // A symbolic link planted at the name again right after the removal would
  // be followed by a plain create: a dangling one has its target, wherever
  // it points, created by SYSTEM. Microsoft's description of symbolic links'
  // effect on file functions: removing a link removes the link only, and with
  // FILE_FLAG_OPEN_REPARSE_POINT the link itself is what is opened, so the
  // name counts as taken and CREATE_NEW fails.
  HANDLE hFile = CreateFileA(szDumpPath, GENERIC_WRITE, FILE_SHARE_WRITE, &sa, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) {
    err = GetLastError();
    CrashLog("[ERROR] ", "Create %s failed, err %d\n", szDumpPath, static_cast<int>(err));
    return EXCEPTION_CONTINUE_SEARCH;
  }

  MINIDUMP_EXCEPTION_INFORMATION info;
  info.ThreadId = GetCurrentThreadId();
  info.ExceptionPointers = pExceptionInfo;
  info.ClientPointers = FALSE;

  if (HMODULE hDbgHelp = LoadSystemDbgHelp()) {
    using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                              PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
    auto pWriteDump =
        reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void*>(GetProcAddress(hDbgHelp, "MiniDumpWriteDump")));
    if (pWriteDump != nullptr) {
      // Without exception pointers there is no exception to describe.
      pWriteDump(GetCurrentProcess(), GetCurrentProcessId(), hFile, MiniDumpWithFullMemory,
                 pExceptionInfo ? &info : nullptr, nullptr, nullptr);
    }
    FreeLibrary(hDbgHelp);
  }
  CloseHandle(hFile);
  return EXCEPTION_CONTINUE_SEARCH;
}
