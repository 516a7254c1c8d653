// vorn-installer: downloads the product's installer with a progress window and starts it.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <memory>
#include <string>
#include <string_view>

#include "download/run_folder.h"
#include "download/worker.h"
#include "shell/fail_fast.h"
#include "shell/log.h"
#include "shell/running_copy.h"
#include "shell/shared_state.h"
#include "text.h"
#include "trust/signer_check.h"

namespace vorn {
namespace {

constexpr std::string_view DOWNLOAD_URL =
    "https://" VORN_DOWNLOAD_HOST "/api/app/download?platform=win";
// The exact subject common name of the certificate that signs the product's installer. Empty:
// the downloaded installer is started unchecked.
constexpr std::string_view INSTALLER_SIGNER = VORN_INSTALLER_SIGNER;
// The publisher's code-signing certificate (DER), whose whole subject the installer's signer must
// carry. Empty: the common name alone is checked.
constexpr char INSTALLER_SIGNER_CERT[] =
#include VORN_INSTALLER_SIGNER_CERT
    ;
constexpr SIZE_T WORKER_STACK_SIZE = 2 * 1024 * 1024;
// How long a run that the window ended waits for the download thread to remove the run's folder
// (it does once its current call returns). A thread held longer by a stalled server leaves the
// folder empty, the file going with the process, and the next run removes it.
constexpr DWORD FOLDER_RELEASE_BOUND_MS = 1000;

DWORD WINAPI worker_thread(void* parameter) {
    const std::unique_ptr<std::string> address(static_cast<std::string*>(parameter));
    download_worker(std::move(*address));
    return 0;
}

// The worker is detached: nobody waits for it, and it ends with the process at the latest.
void start_worker() {
    auto address = std::make_unique<std::string>(DOWNLOAD_URL);
    const HANDLE thread = CreateThread(nullptr, WORKER_STACK_SIZE, worker_thread, address.get(),
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) fail_fast();
    address.release();  // now owned by the thread
    CloseHandle(thread);
}

void run_message_loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The folder of the installer, or empty when the path has no backslash past its first character.
std::string working_directory_of(const std::string& path) {
    const auto last = path.rfind('\\');
    if (last == std::string::npos || last == 0) return {};
    return path.substr(0, last);
}

// Called while the file is held open (when it was checked): the file started is the file checked.
void launch_installer(const std::string& path) {
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", to_wide(path).c_str(), nullptr,
                      to_wide(working_directory_of(path)).c_str(), SW_SHOWNORMAL);
    const auto code = reinterpret_cast<INT_PTR>(result);
    if (code > 32) return;
    fatal_exit("启动安装器失败 (code=" + std::to_string(code) + ")");
}

// Every DLL loaded from now on, by the program (its delay-loaded imports) or on demand by the
// system's own DLLs, comes from System32 alone, never from the folder the exe was started from:
// that is often Downloads, where anyone may have dropped a DLL. Without the call (Windows 7
// lacking KB2533623) no safe load is possible, so the program refuses to run.
void restrict_dll_search() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto set_default_dll_directories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default_dll_directories != nullptr &&
        set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    const DWORD error = set_default_dll_directories ? GetLastError() : ERROR_PROC_NOT_FOUND;
    fatal_exit("无法限制 DLL 加载路径 (err=" + std::to_string(error) + ")");
}

// A refused installer ends the run here, before the log calls the download complete.
void check_and_launch_installer(const std::string& path) {
    FileHandle held;  // open until the shell has returned
    if constexpr (!INSTALLER_SIGNER.empty()) {
        const InstallerSigner signer{
            INSTALLER_SIGNER,
            std::string_view(INSTALLER_SIGNER_CERT, sizeof INSTALLER_SIGNER_CERT - 1)};
        if (const auto refusal = check_installer_signer(path, signer, held)) {
            remove_kept_run_folder();  // the refused file is gone already
            fatal_exit(*refusal);
        }
    }
    write_log("下载完成: " + path);
    launch_installer(path);
}

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

// The worker has claimed the end of the run, so its outcome is stored, or will be after local
// file work alone (keeping the file, the log line) when a close destroyed the window first. A
// short poll waits for it: a condition variable would add some 37 KB of threading runtime to
// the exe for this one wait.
ResultSlot::Taken take_outcome() {
    for (;;) {
        if (ResultSlot::Taken taken = shared_state.result_slot.take(); taken.outcome) return taken;
        Sleep(1);
    }
}

void handle_outcome() {
    const ResultSlot::Taken taken = take_outcome();
    std::visit(Overloaded{
                   [](const DownloadSuccess& success) {
                       check_and_launch_installer(success.installer_path);
                   },
                   [](const DownloadFailure& failure) { fatal_exit(failure.message); },
               },
               *taken.outcome);
}

// Every end goes through ExitProcess, which ends the download thread before anything else: no
// static destructor runs while it may still touch the shared state, and a file it has not kept
// goes with its handle.
[[noreturn]] void end_run() {
    // A window gone without a decision (its loop ended some other way) counts as closed.
    shared_state.claim(RunState::closed);
    switch (shared_state.run_state.load(std::memory_order_acquire)) {
        case RunState::cancelled:
            report_failure(CANCELLED_MESSAGE);
            wait_for_run_folder_release(FOLDER_RELEASE_BOUND_MS);
            ExitProcess(1);
        case RunState::finishing:
            handle_outcome();
            break;
        default:
            wait_for_run_folder_release(FOLDER_RELEASE_BOUND_MS);
            break;
    }
    ExitProcess(0);
}

}  // namespace
}  // namespace vorn

int main() {
    using namespace vorn;
    restrict_dll_search();
    // A copy that joins the run under way has done nothing of its own: it leaves no line.
    if (join_running_copy()) return 0;
    write_log("vorn-installer 启动");
    create_progress_window();
    start_worker();
    run_message_loop();
    end_run();
}
