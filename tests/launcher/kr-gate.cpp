// kr-gate: a custom action that holds an installation at a known point until the test lets it go.
// Started by the installer with one word, NAME, as its command line: it sets the event "NAME.ready", waits
// for "NAME.go" (both made by the test) and exits with 0; with 1 when the events are missing or the wait
// runs out, so a test that never answers cannot hold the installation for ever.
#include <windows.h>

#include <string>

namespace {

const DWORD kLongestHoldMs = 120000;

// Owns one event handle.
class Event {
public:
    Event(DWORD access, const std::wstring& name) : handle_(OpenEventW(access, FALSE, name.c_str())) {}
    ~Event() {
        if (handle_) {
            CloseHandle(handle_);
        }
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    std::wstring name = commandLine;
    name.erase(name.find_last_not_of(L" \t") + 1);
    const Event ready(EVENT_MODIFY_STATE, name + L".ready");
    const Event go(SYNCHRONIZE, name + L".go");
    if (!ready.get() || !go.get() || !SetEvent(ready.get())) {
        return 1;
    }
    return WaitForSingleObject(go.get(), kLongestHoldMs) == WAIT_OBJECT_0 ? 0 : 1;
}
