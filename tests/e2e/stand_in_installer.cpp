// Served as the download body in the end-to-end tests, padded to whatever size a test needs
// (bytes after the last section are never mapped). When the stub launches it, it appends one line
// "exe=<own path>\tcwd=<working directory>" to "vorn-setup.exe.started" in the temporary folder
// (GetTempPathW, as the stub found it), so a test can tell that the downloaded file really ran,
// how often, from where and in which folder.
//
// As a real installer might, on request (variables the stub's environment passes on):
//   VORN_STAND_IN_LOAD=NAME   loads the DLL NAME by name, as an import of a DLL that is not a
//                             KnownDLL would (version.dll, say): Windows looks in the exe's own
//                             folder first;
//   VORN_STAND_IN_HOLD=PATH   stays open, after writing its line, until PATH exists (at most
//                             HOLD_BOUND_MS), as an installer whose first page is left open.
#include <windows.h>

namespace {

constexpr DWORD HOLD_BOUND_MS = 170000;

void append_utf8(HANDLE file, const wchar_t* text) {
    char buf[4 * MAX_PATH + 16];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buf, sizeof buf, nullptr, nullptr);
    DWORD written = 0;
    if (n > 1) WriteFile(file, buf, static_cast<DWORD>(n - 1), &written, nullptr);
}

void load_requested_dll() {
    wchar_t name[MAX_PATH + 1] = {};
    const DWORD n = GetEnvironmentVariableW(L"VORN_STAND_IN_LOAD", name, MAX_PATH);
    if (n > 0 && n < MAX_PATH) LoadLibraryW(name);
}

void hold_if_asked() {
    wchar_t release[MAX_PATH + 1] = {};
    const DWORD n = GetEnvironmentVariableW(L"VORN_STAND_IN_HOLD", release, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    const DWORD start = GetTickCount();
    while (GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES &&
           GetTickCount() - start < HOLD_BOUND_MS) {
        Sleep(50);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH + 1] = {};
    wchar_t cwd[MAX_PATH + 1] = {};
    wchar_t record[MAX_PATH + 32] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const DWORD temp = GetTempPathW(MAX_PATH, record);
    if (temp == 0 || temp >= MAX_PATH) return 2;
    lstrcatW(record, L"vorn-setup.exe.started");
    load_requested_dll();
    const HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    append_utf8(file, L"exe=");
    append_utf8(file, self);
    append_utf8(file, L"\tcwd=");
    append_utf8(file, cwd);
    append_utf8(file, L"\n");
    CloseHandle(file);
    hold_if_asked();
    return 0;
}
