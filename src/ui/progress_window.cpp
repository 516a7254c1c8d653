#include "ui/progress_window.h"

#include <commctrl.h>

#include <string>

#include "shell/log.h"
#include "shell/shared_state.h"
#include "text.h"
#include "ui/progress_text.h"

namespace vorn {
namespace {

constexpr DWORD MAIN_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD CHILD_STYLE = WS_CHILD | WS_VISIBLE;

HWND create_child(HWND parent, const wchar_t* window_class, const wchar_t* text, DWORD style, int x,
                  int y, int width, int height, int id) {
    return CreateWindowExW(0, window_class, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
}

void show_progress() {
    const ProgressFigures figures =
        progress_text(shared_state.bytes_received.load(std::memory_order_relaxed),
                      shared_state.total_bytes.load(std::memory_order_relaxed));
    SendMessageW(shared_state.progress_bar.load(std::memory_order_relaxed), PBM_SETPOS,
                 static_cast<WPARAM>(figures.bar_position), 0);
    SetWindowTextW(shared_state.status_label.load(std::memory_order_relaxed),
                   to_wide(figures.text).c_str());
}

// The download is complete and the installer is being checked: Cancel is too late (the download
// thread has claimed the run's end), so the button says so by being disabled.
void show_checking(HWND window) {
    SetWindowTextW(shared_state.status_label.load(std::memory_order_relaxed),
                   to_wide("正在校验安装器...").c_str());
    EnableWindow(GetDlgItem(window, CANCEL_BUTTON_ID), FALSE);
}

// Cancel and the close button end the run at once, without waiting for the download thread,
// which may be held for minutes inside a platform call (name lookup, connecting, waiting for
// headers, a stalled body). Once the worker has claimed the run's end (the body is complete),
// Cancel comes too late and is ignored; a close then only closes the window, and the outcome
// is handled as usual.
void end_run_from_window(HWND window, RunState end) {
    if (shared_state.claim(end) || end == RunState::closed) DestroyWindow(window);
}

}  // namespace

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_DESTROY:
            // Nothing more is posted to a window that is gone (nor to one that reuses its handle).
            shared_state.main_window.store(nullptr, std::memory_order_relaxed);
            PostQuitMessage(0);
            return 0;
        case WM_CLOSE:
            end_run_from_window(window, RunState::closed);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wparam) == CANCEL_BUTTON_ID)
                end_run_from_window(window, RunState::cancelled);
            return 0;
        case WM_APP_PROGRESS:
            show_progress();
            return 0;
        case WM_APP_CHECKING:
            show_checking(window);
            return 0;
        case WM_APP_DONE:
            DestroyWindow(window);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

HWND create_progress_window() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = WINDOW_CLASS_NAME;
    if (RegisterClassExW(&window_class) == 0) fatal_exit("注册窗口类失败");

    const HWND window =
        CreateWindowExW(0, WINDOW_CLASS_NAME, to_wide("下载星岚").c_str(), MAIN_STYLE, 0, 0, 460,
                        210, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        fatal_exit("创建窗口失败 (err=" + std::to_string(GetLastError()) + ")");
    }
    shared_state.main_window.store(window, std::memory_order_relaxed);

    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    // Controls that cannot be created are simply absent; updates to them have no effect.
    const HWND bar =
        create_child(window, PROGRESS_CLASSW, nullptr, CHILD_STYLE, 20, 30, 410, 26, 0);
    shared_state.progress_bar.store(bar, std::memory_order_relaxed);
    if (bar != nullptr) SendMessageW(bar, PBM_SETRANGE32, 0, 100);

    const HWND label = create_child(window, L"STATIC", to_wide("准备下载...").c_str(),
                                    CHILD_STYLE | SS_CENTER, 20, 75, 410, 24, 0);
    shared_state.status_label.store(label, std::memory_order_relaxed);

    create_child(window, L"BUTTON", to_wide("取消").c_str(), CHILD_STYLE, 185, 130, 90, 36,
                 CANCEL_BUTTON_ID);

    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    return window;
}

}  // namespace vorn
