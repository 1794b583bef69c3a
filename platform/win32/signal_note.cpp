// Windows: the C runtime runs a console control (Ctrl+C) as a signal handler on a
// thread of its own, so the handler may set an event that the waiting thread waits on.
#include "platform/signal_note.h"

#include <atomic>
#include <windows.h>

static std::atomic<int> noted{0};
static std::atomic<HANDLE> wake{nullptr};

bool signal_note_init() {
    if (wake.load()) return true;
    // Manual reset: once set it stays set, as the first noted signal stays.
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!e) return false;
    HANDLE none = nullptr;
    if (!wake.compare_exchange_strong(none, e)) CloseHandle(e);
    return true;
}

void signal_note(int sig) {
    int none = 0;
    noted.compare_exchange_strong(none, sig);
    HANDLE e = wake.load();
    if (e) {
        DWORD saved = GetLastError(); // the interrupted code may be about to read it
        SetEvent(e);
        SetLastError(saved);
    }
}

int signal_wait() {
    for (;;) {
        int sig = noted.load();
        if (sig != 0) return sig;
        HANDLE e = wake.load();
        if (!e || WaitForSingleObject(e, INFINITE) == WAIT_FAILED) Sleep(50);
    }
}
