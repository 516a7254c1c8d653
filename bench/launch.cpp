// Starts one program for the benchmark and times, with the performance counter, what can only be
// seen from inside wine: when its window shows, when that window goes, when the program starts a
// child (the stub starting its installer) and when it exits. Writes one JSON object to --out.
//
//   launch.exe --exe PATH --out FILE [--temp DIR] [--watch window|launch|cancel] [--close]
//              [--seen FILE] [--go FILE] [--deadline MS] [-- ARG...]
//
//   --temp DIR       TEMP and TMP of the started program (wine passes them on in no other way)
//   --watch window   polls for the program's visible top-level window: "shown_ms"
//   --watch launch   also waits for its Cancel to be disabled, the check begun ("checking_ms"),
//                    for that window to go ("gone_ms") and for the program's first child
//                    process to exist ("launched_ms")
//   --close          posts WM_CLOSE to the window once it is seen (the bare window program)
//   --seen FILE      creates FILE once the window is seen: the benchmark's server holds its
//                    answer until then, so that a short download cannot end unwatched
//   --watch cancel   once the window is seen and FILE (--go) exists, clicks the window's Cancel
//                    button ("clicked_ms"), waits for the program's message box ("box_ms") and
//                    presses its OK
//   --go FILE        the benchmark's signal that the download has reached the phase to cancel
//
// Times are milliseconds since just before CreateProcessW. Without --watch nothing is polled: the
// launcher only waits for the exit, so it costs the measured run nothing. Everything started runs
// in a job that is killed when the launcher ends, so nothing outlives a run.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD POLL_MS = 1;

struct Options {
    std::wstring exe;
    std::wstring out;
    std::wstring temp;
    std::wstring watch;
    std::wstring seen;
    std::wstring go;
    std::vector<std::wstring> args;
    bool close = false;
    DWORD deadline_ms = 600000;
};

class Clock {
  public:
    Clock() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    double elapsed_ms() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - start_.QuadPart) /
               static_cast<double>(frequency_.QuadPart);
    }

  private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};

struct WindowSearch {
    DWORD pid;
    const wchar_t* window_class;  // null: any
    HWND found;
};

BOOL CALLBACK find_visible_window(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid || !IsWindowVisible(window)) return TRUE;
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (search->window_class != nullptr && wcscmp(name, search->window_class) != 0) return TRUE;
    search->found = window;
    return FALSE;
}

// The process's first visible top-level window (of `window_class`, when one is given).
HWND visible_window_of(DWORD pid, const wchar_t* window_class = nullptr) {
    WindowSearch search{pid, window_class, nullptr};
    EnumWindows(find_visible_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A message box is a visible top-level dialog of the process.
HWND visible_box_of(DWORD pid) {
    return visible_window_of(pid, L"#32770");
}

DWORD processes_started_in(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                              sizeof accounting, nullptr);
    return accounting.TotalProcesses;
}

// Polls `done` every POLL_MS until it holds or the process has exited; false then.
template <class Condition>
bool poll_until(HANDLE process, Condition done) {
    for (;;) {
        if (done()) return true;
        if (WaitForSingleObject(process, POLL_MS) == WAIT_OBJECT_0) return done();
    }
}

// The program's environment: the launcher's own, with TEMP and TMP replaced when asked.
std::vector<wchar_t> environment_with_temp(const std::wstring& temp) {
    std::vector<wchar_t> block;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
        const bool replaced = !temp.empty() && (_wcsnicmp(entry, L"TEMP=", 5) == 0 ||
                                                _wcsnicmp(entry, L"TMP=", 4) == 0);
        if (!replaced) block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    FreeEnvironmentStringsW(strings);
    if (!temp.empty()) {
        for (const std::wstring name : {L"TEMP=", L"TMP="}) {
            const std::wstring entry = name + temp;
            block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
        }
    }
    block.push_back(L'\0');
    return block;
}

std::wstring command_line(const Options& options) {
    std::wstring line = L"\"" + options.exe + L"\"";
    for (const std::wstring& arg : options.args) line += L" \"" + arg + L"\"";
    return line;
}

void write_file(const std::wstring& path, const std::string& json) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, json.data(), static_cast<DWORD>(json.size()), &written, nullptr);
    CloseHandle(file);
}

std::string field(const char* name, double ms) {
    char text[64];
    std::snprintf(text, sizeof text, ",\"%s\":%.3f", name, ms);
    return text;
}

bool parse(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--") {
            options.args.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == L"--close") {
            options.close = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::wstring value = argv[++i];
        if (arg == L"--exe") {
            options.exe = value;
        } else if (arg == L"--out") {
            options.out = value;
        } else if (arg == L"--seen") {
            options.seen = value;
        } else if (arg == L"--temp") {
            options.temp = value;
        } else if (arg == L"--go") {
            options.go = value;
        } else if (arg == L"--watch" &&
                   (value == L"window" || value == L"launch" || value == L"cancel")) {
            options.watch = value;
        } else if (arg == L"--deadline") {
            options.deadline_ms = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
        } else {
            return false;
        }
    }
    return !options.exe.empty() && !options.out.empty();
}

// Cancel clicked once the benchmark says the phase is reached, then the box that answers it.
void watch_cancel(const Options& options, const PROCESS_INFORMATION& child, HWND window,
                  const Clock& clock, std::string& json) {
    if (!poll_until(child.hProcess, [&] {
            return GetFileAttributesW(options.go.c_str()) != INVALID_FILE_ATTRIBUTES;
        }))
        return;
    const HWND button = GetDlgItem(window, IDCANCEL);
    if (button == nullptr) return;
    json += field("clicked_ms", clock.elapsed_ms());
    PostMessageW(button, BM_CLICK, 0, 0);
    HWND box = nullptr;
    if (!poll_until(child.hProcess, [&] { return (box = visible_box_of(child.dwProcessId)); }))
        return;
    json += field("box_ms", clock.elapsed_ms());
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

// The watched part of a run, appended to `json` as far as it got before the program ended.
void watch(const Options& options, const PROCESS_INFORMATION& child, HANDLE job, const Clock& clock,
           std::string& json) {
    HWND window = nullptr;
    if (!poll_until(child.hProcess,
                    [&] { return (window = visible_window_of(child.dwProcessId)); }))
        return;
    json += field("shown_ms", clock.elapsed_ms());
    if (!options.seen.empty()) write_file(options.seen, "seen\n");
    if (options.close) PostMessageW(window, WM_CLOSE, 0, 0);
    if (options.watch == L"cancel") return watch_cancel(options, child, window, clock, json);
    if (options.watch != L"launch") return;
    // The check runs while the window shows: it has begun when Cancel is disabled (a program
    // that checks nothing closes its window instead).
    const HWND cancel = GetDlgItem(window, IDCANCEL);
    if (!poll_until(child.hProcess, [&] { return !IsWindow(window) || !IsWindowEnabled(cancel); }))
        return;
    json += field("checking_ms", clock.elapsed_ms());
    if (!poll_until(child.hProcess, [&] { return !IsWindow(window); })) return;
    json += field("gone_ms", clock.elapsed_ms());
    // Counted from here: the program may have started others before (wine's desktop process,
    // when no window was open).
    const DWORD started_before = processes_started_in(job);
    if (!poll_until(child.hProcess, [&] { return processes_started_in(job) > started_before; }))
        return;
    json += field("launched_ms", clock.elapsed_ms());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: launch.exe --exe PATH --out FILE [--temp DIR] "
                     "[--watch window|launch|cancel] [--close] [--seen FILE] [--go FILE] "
                     "[--deadline MS] "
                     "[-- ARG...]\n");
        return 2;
    }
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    std::vector<wchar_t> environment = environment_with_temp(options.temp);
    std::wstring line = command_line(options);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const Clock clock;
    if (!CreateProcessW(options.exe.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, environment.data(), nullptr,
                        &startup, &child)) {
        std::fprintf(stderr, "launch.exe: CreateProcessW failed (%lu)\n", GetLastError());
        return 1;
    }
    AssignProcessToJobObject(job, child.hProcess);
    ResumeThread(child.hThread);

    std::string json = "{\"pid\":" + std::to_string(child.dwProcessId);
    if (!options.watch.empty()) watch(options, child, job, clock, json);
    const bool exited = WaitForSingleObject(child.hProcess, options.deadline_ms) == WAIT_OBJECT_0;
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    if (exited) json += field("exit_ms", clock.elapsed_ms()) + ",\"code\":" + std::to_string(code);
    // Whatever the program started (the installer) may finish, then the job ends what is left.
    for (int waited = 0; waited < 30000; waited += 10) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                  sizeof accounting, nullptr);
        if (accounting.ActiveProcesses == 0) break;
        Sleep(10);
    }
    json += ",\"children\":" + std::to_string(processes_started_in(job) - 1) + "}\n";
    write_file(options.out, json);
    TerminateJobObject(job, 0xDEAD);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return exited ? 0 : 3;
}
