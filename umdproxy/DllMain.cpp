// Library entry of Brisel.dll: makes the adapter and device lists empty and
// their locks ready on process attach, deletes the locks on process detach.
// Runs on the loader's thread under the loader lock: nothing here may load a
// library or wait.
#include <windows.h>

#include "RecordList.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) brisel::ProcessAttach();
    else if (reason == DLL_PROCESS_DETACH) brisel::ProcessDetach();
    return TRUE;
}
