// The unhandled-exception filter (see CrashDump.h). Runs on the crashing
// thread; the process is going down, so nothing here is released that the
// system would not release anyway, and nothing waits without a bound.
#include "CrashDump.h"

#include <dbghelp.h>

#include <cstdarg>
#include <cstdio>

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
  int n = snprintf(szLine, cch, "%s [%04d/%04d] %s [%s] ", prefix.szTime, prefix.processId, prefix.threadId,
                   prefix.szTag, prefix.szFunction);
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

  HANDLE hFile = CreateFileA(szDumpPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    CrashLog("[ERROR] ", "Create %s failed, err %d\n", szDumpPath, static_cast<int>(err));
    return EXCEPTION_CONTINUE_SEARCH;
  }

  MINIDUMP_EXCEPTION_INFORMATION info;
  info.ThreadId = GetCurrentThreadId();
  info.ExceptionPointers = pExceptionInfo;
  info.ClientPointers = FALSE;

  if (HMODULE hDbgHelp = LoadLibraryA("dbghelp.dll")) {
    using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                              PMINIDUMP_EXCEPTION_INFORMATION,
                                              PMINIDUMP_USER_STREAM_INFORMATION,
                                              PMINIDUMP_CALLBACK_INFORMATION);
    auto pWriteDump = reinterpret_cast<MiniDumpWriteDumpFn>(
        reinterpret_cast<void*>(GetProcAddress(hDbgHelp, "MiniDumpWriteDump")));
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
