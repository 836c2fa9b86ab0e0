// A planted msi.dll: if a launcher ever loads it, the process ends at once with a code that tells so.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ExitProcess(0x4B524D53);
    }
    return TRUE;
}
