// A DLL planted beside the stub under the name of a system DLL. It exports nothing: its only act
// is to leave "<its own path>.loaded" behind when a process loads it, which the planting test
// looks for. Loading it at all is the fault, whatever happens after.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcatW(marker, L".loaded");
    const HANDLE file = CreateFileW(marker, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}
