// The process's unhandled-exception filter: writes a full-memory minidump of
// the process, "%s\Skyvane_%d.dmp" in the directory of TEMP, through the
// system directory's dbghelp.dll loaded at the moment of the crash, then lets
// the system's default handling end the process. The dump is always a new
// file that only SYSTEM and the Administrators may open; a file already at
// its name is removed first, and when that fails no dump is written.
//
// Threads: runs on whichever thread raised the exception while the others
// keep running. It never waits for ever on the log: a crash on a thread that
// holds the log's lock still produces the dump, the filter's lines then go to
// standard output.
#pragma once

#include <windows.h>

// Installed by wWinMain with SetUnhandledExceptionFilter. Returns
// EXCEPTION_CONTINUE_SEARCH on every path.
LONG WINAPI my_exception_filter(EXCEPTION_POINTERS* pExceptionInfo);

namespace crashdump {

// How long one line of the filter may wait for the log before it goes to
// standard output instead.
constexpr DWORD kLogWaitMs = 1000;

}  // namespace crashdump
