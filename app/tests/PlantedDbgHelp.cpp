// A dbghelp.dll that the crash filter's test places beside its program, as
// one could be placed beside Skyvane.exe: its MiniDumpWriteDump marks the
// file instead of writing a dump, so a test sees whether it was loaded.
#include <windows.h>

extern "C" __declspec(dllexport) BOOL WINAPI
    MiniDumpWriteDump(HANDLE, DWORD, HANDLE hFile, DWORD, void*, void*, void*) {
  DWORD written = 0;
  return WriteFile(hFile, "PLANTED", 7, &written, nullptr);
}
