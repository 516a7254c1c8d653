// The least a program can do to show the stub's window: register a class and show one top-level
// window of the same size and style, nothing else. The benchmark compares the stub's start-up with
// this one's, and also keeps one of these open for its whole run: wine ends its desktop process a
// moment after the last window closes, and the next program to start would pay to bring it back.
// WM_CLOSE ends it.
//
//   bare_window.exe [--controls]
//
// --controls adds what the stub's window holds (common controls loaded, a progress bar, a label
// and a button, same places) before showing it: what the same window costs the platform.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cwchar>

namespace {

constexpr DWORD MAIN_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // the stub's

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

void add_controls(HWND window, HINSTANCE instance) {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const DWORD style = WS_CHILD | WS_VISIBLE;
    CreateWindowExW(0, PROGRESS_CLASSW, nullptr, style, 20, 30, 410, 26, window, nullptr, instance,
                    nullptr);
    CreateWindowExW(0, L"STATIC", L"...", style | SS_CENTER, 20, 75, 410, 24, window, nullptr,
                    instance, nullptr);
    CreateWindowExW(0, L"BUTTON", L"Cancel", style, 185, 130, 90, 36, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)), instance, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = L"vornbenchbare";
    if (RegisterClassExW(&window_class) == 0) return 1;
    const HWND window = CreateWindowExW(0, window_class.lpszClassName, L"bare", MAIN_STYLE, 0, 0,
                                        460, 210, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    if (std::wcsstr(command_line, L"--controls") != nullptr) add_controls(window, instance);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
