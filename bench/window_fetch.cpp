// The raw download loop with the stub's other parts added one at a time, so that its peak memory
// can be compared like with like and the difference placed: the window (bare_window.exe's), the
// window's controls (common controls loaded), the loop on a second thread (the stub's 2 MiB stack
// reservation, the main thread waiting in a message loop) and the downloaded file started through
// the shell (shell32 loaded, a process created).
//
//   window_fetch.exe [--window] [--controls] [--thread] [--launch] HOST PORT PATH FILE
//
// Exit code 0 when the whole body is in FILE (and, with --launch, the shell started it).
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>

#include "raw_loop.h"

namespace {

constexpr DWORD MAIN_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // the stub's
constexpr SIZE_T WORKER_STACK_SIZE = 2 * 1024 * 1024;                   // the stub's reservation

struct Download {
    const wchar_t* host;
    INTERNET_PORT port;
    const wchar_t* path;
    const wchar_t* target;
    int code = 1;
};

DWORD WINAPI download_thread(void* parameter) {
    auto* const download = static_cast<Download*>(parameter);
    download->code = raw_fetch(download->host, download->port, download->path, download->target);
    return 0;
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(window, message, wparam, lparam);
}

HWND show_window(bool controls) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = L"vornbenchfetch";
    if (RegisterClassExW(&window_class) == 0) return nullptr;
    const HWND window = CreateWindowExW(0, window_class.lpszClassName, L"fetch", MAIN_STYLE, 0, 0,
                                        460, 210, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return nullptr;
    if (controls) {  // as bare_window.exe --controls
        const INITCOMMONCONTROLSEX common{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&common);
        const DWORD style = WS_CHILD | WS_VISIBLE;
        CreateWindowExW(0, PROGRESS_CLASSW, nullptr, style, 20, 30, 410, 26, window, nullptr,
                        instance, nullptr);
        CreateWindowExW(0, L"STATIC", L"...", style | SS_CENTER, 20, 75, 410, 24, window, nullptr,
                        instance, nullptr);
        CreateWindowExW(0, L"BUTTON", L"Cancel", style, 185, 130, 90, 36, window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)), instance, nullptr);
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    return window;
}

// The download on a thread of its own while this one handles the window's messages.
bool download_on_thread(Download& download) {
    const HANDLE thread = CreateThread(nullptr, WORKER_STACK_SIZE, download_thread, &download,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return false;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    CloseHandle(thread);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool window = false, controls = false, thread = false, launch = false;
    int next = 1;
    for (; next < argc && std::wcsncmp(argv[next], L"--", 2) == 0; ++next) {
        const wchar_t* const flag = argv[next];
        window = window || std::wcscmp(flag, L"--window") == 0;
        controls = controls || std::wcscmp(flag, L"--controls") == 0;
        thread = thread || std::wcscmp(flag, L"--thread") == 0;
        launch = launch || std::wcscmp(flag, L"--launch") == 0;
    }
    if (argc - next != 4) {
        std::fprintf(stderr,
                     "usage: window_fetch.exe [--window] [--controls] [--thread] "
                     "[--launch] HOST PORT PATH FILE\n");
        return 2;
    }
    Download download{argv[next],
                      static_cast<INTERNET_PORT>(std::wcstoul(argv[next + 1], nullptr, 10)),
                      argv[next + 2], argv[next + 3]};
    const HWND shown = window || controls ? show_window(controls) : nullptr;
    if ((window || controls) && shown == nullptr) return 1;
    if (thread) {
        if (!download_on_thread(download)) return 1;
    } else {
        download.code = raw_fetch(download.host, download.port, download.path, download.target);
    }
    if (shown) DestroyWindow(shown);
    if (download.code != 0) return download.code;
    if (launch) {
        const auto started = reinterpret_cast<INT_PTR>(
            ShellExecuteW(nullptr, L"open", download.target, nullptr, nullptr, SW_SHOWNORMAL));
        if (started <= 32) return 1;
    }
    return 0;
}
