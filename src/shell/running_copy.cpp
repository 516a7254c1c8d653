#include "shell/running_copy.h"

#include <windows.h>

#include "ui/progress_window.h"

namespace vorn {
namespace {

// In the session's own namespace: copies in other sessions (another user at the same machine)
// run on their own.
constexpr wchar_t RUN_MARK_NAME[] = L"Local\\vorn-installer-run";
// Long enough for the other copy's window to appear after its mark (wine can take seconds for
// a cold start); after it, a copy whose mark stays without a window is not waited for.
constexpr ULONGLONG JOIN_BOUND_MS = 10000;
constexpr DWORD JOIN_POLL_MS = 50;

DWORD session_of(DWORD process) {
    DWORD session = 0;
    return ProcessIdToSessionId(process, &session) ? session : MAXDWORD;
}

// The main window of another copy in this session, if one is up.
HWND other_copys_window() {
    const DWORD own_session = session_of(GetCurrentProcessId());
    for (HWND window = nullptr;
         (window = FindWindowExW(nullptr, window, WINDOW_CLASS_NAME, nullptr)) != nullptr;) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != GetCurrentProcessId() && session_of(process) == own_session) {
            return window;
        }
    }
    return nullptr;
}

void bring_to_front(HWND window) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

}  // namespace

bool join_running_copy() {
    // Owned by this thread from the start when it is new; never closed: the process's end
    // releases it, and a copy waiting for it then runs.
    const HANDLE mark = CreateMutexW(nullptr, TRUE, RUN_MARK_NAME);
    if (mark == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return false;
    const ULONGLONG deadline = GetTickCount64() + JOIN_BOUND_MS;
    for (;;) {
        if (const HWND window = other_copys_window()) {
            bring_to_front(window);
            return true;
        }
        const DWORD waited = WaitForSingleObject(mark, JOIN_POLL_MS);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return false;  // it ended
        if (waited == WAIT_FAILED || GetTickCount64() >= deadline) return false;
    }
}

}  // namespace vorn
