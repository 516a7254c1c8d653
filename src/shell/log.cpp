#include "shell/log.h"

#include <windows.h>

#include <string>

#include "shell/handles.h"
#include "text.h"

namespace vorn {
namespace {

// The generic write rights without FILE_WRITE_DATA: every write goes to the end of the file.
constexpr DWORD APPEND_ONLY_ACCESS = 0x120114;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The value of TEMP; "." when it is unset or not valid Unicode. An empty value stays empty.
std::string log_directory() {
    WideString value(MAX_PATH, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(L"TEMP", value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? "." : "";
        }
        if (length < value.size()) {
            value.resize(length);
            break;
        }
        value.resize(length);  // too small: length is the size needed, terminator included
    }
    return from_wide_strict(value).value_or(".");
}

}  // namespace

void write_log(std::string_view message) {
    const std::string path = log_directory() + std::string(LOG_FILE_NAME);
    const FileHandle log(CreateFileW(to_wide(path).c_str(), APPEND_ONLY_ACCESS, SHARE_ALL, nullptr,
                                     OPEN_ALWAYS, 0, nullptr));
    if (!log.valid()) return;
    // The whole line in one append: another copy writing at the same moment can put its lines
    // before or after this one, never inside it. A failing write (disk full) is ignored.
    const std::string line =
        "[" + std::to_string(GetCurrentProcessId()) + "] " + std::string(message) + "\n";
    DWORD written = 0;
    WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void report_failure(std::string_view message) {
    write_log("FATAL: " + std::string(message));
    MessageBoxW(nullptr, to_wide(message).c_str(), L"vorn-installer", MB_ICONERROR | MB_OK);
}

void fatal_exit(std::string_view message) {
    report_failure(message);
    end_process(1);
}

// Not ExitProcess: that runs every DLL's detach code, which can wait forever for a lock that a
// thread ended mid-call held (the download thread may be inside WinHTTP, a proxy script or a
// CRL fetch). TerminateProcess runs none of it; the log is already written through, and the
// system closes the handles, so a file still marked for deletion goes.
void end_process(unsigned code) {
    TerminateProcess(GetCurrentProcess(), code);
    // Ending the calling process does not return; should it ever, nothing more may run.
    __builtin_trap();
}

}  // namespace vorn
