// Served as the download body in the end-to-end tests, padded to whatever size a test needs
// (bytes after the last section are never mapped). When the stub launches it, it appends one line
// "exe=<own path>\tcwd=<working directory>" to "<own path>.started", so a test can tell that the
// downloaded file really ran, how often, and from which folder.
#include <windows.h>

namespace {

void append_utf8(HANDLE file, const wchar_t* text) {
    char buf[4 * MAX_PATH + 16];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buf, sizeof buf, nullptr, nullptr);
    DWORD written = 0;
    if (n > 1) WriteFile(file, buf, static_cast<DWORD>(n - 1), &written, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH + 1] = {};
    wchar_t cwd[MAX_PATH + 1] = {};
    wchar_t record[MAX_PATH + 16] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    GetCurrentDirectoryW(MAX_PATH, cwd);
    lstrcpyW(record, self);
    lstrcatW(record, L".started");
    const HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    append_utf8(file, L"exe=");
    append_utf8(file, self);
    append_utf8(file, L"\tcwd=");
    append_utf8(file, cwd);
    append_utf8(file, L"\n");
    CloseHandle(file);
    return 0;
}
