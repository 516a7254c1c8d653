// The program's only window: progress bar, status line, Cancel. create_progress_window is
// declared with the shared state; the class name and window procedure live here.
#pragma once

#include <windows.h>

namespace vorn {

inline constexpr wchar_t WINDOW_CLASS_NAME[] = L"vorninstaller";
inline constexpr int CANCEL_BUTTON_ID = 2;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace vorn
