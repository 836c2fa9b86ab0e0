// Loads each library named on its command line with the ordinary search, as a program without restrictions would.
#include <windows.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    int loaded = 0;
    for (int i = 1; args && i < count; ++i) {
        if (LoadLibraryW(args[i])) {
            ++loaded;
        }
    }
    LocalFree(args);
    return loaded;
}
