#include "shell/dll_search.h"

namespace vorn {

DWORD restrict_dll_search() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto set_default_dll_directories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default_dll_directories == nullptr) return ERROR_PROC_NOT_FOUND;
    if (set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

}  // namespace vorn
