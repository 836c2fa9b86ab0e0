// A custom-action program that holds an installation: it signals "Local\KrGate.Entered", waits up to a
// minute for "Local\KrGate.Open" and exits with 1, so the installation ends as failed and leaves nothing.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, L"Local\\KrGate.Entered");
    const HANDLE open = CreateEventW(nullptr, TRUE, FALSE, L"Local\\KrGate.Open");
    if (entered && open) {
        SetEvent(entered);
        WaitForSingleObject(open, 60000);
    }
    return 1;
}
