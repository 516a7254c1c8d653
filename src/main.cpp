// vorn-installer: downloads the product's installer with a progress window and starts it.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "download/run_folder.h"
#include "download/worker.h"
#include "publisher_pins.h"
#include "shell/dll_search.h"
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
constexpr SIZE_T WORKER_STACK_SIZE = 2 * 1024 * 1024;
// How long a run that the window ended waits for the download thread to remove the run's folder
// (it does once its current call returns). A thread held longer by a stalled server leaves the
// folder empty, the file going with the process, and the next run removes it.
constexpr DWORD FOLDER_RELEASE_BOUND_MS = 1000;

// The check the download thread runs on the complete installer, through its hold.
std::optional<std::string> check_installer(const std::string& path, HANDLE held) {
    return check_installer_signer(path, pinned_publisher(), held);
}

// None in a build without a signer, which then links no part of the check.
constexpr InstallerCheck installer_check() {
    if constexpr (INSTALLER_SIGNER.empty()) {
        return nullptr;
    } else {
        return check_installer;
    }
}

DWORD WINAPI worker_thread(void* parameter) {
    const std::unique_ptr<std::string> address(static_cast<std::string*>(parameter));
    download_worker(std::move(*address), installer_check());
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

// Called while the file is held open, read-only and shared for reading alone: the file started
// is the file the download thread kept (and checked, in a build with a signer).
void launch_installer(const std::string& path) {
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", to_wide(path).c_str(), nullptr,
                      to_wide(working_directory_of(path)).c_str(), SW_SHOWNORMAL);
    const auto code = reinterpret_cast<INT_PTR>(result);
    if (code > 32) return;
    fatal_exit("启动安装器失败 (code=" + std::to_string(code) + ")");
}

// Without a safe DLL search the program refuses to run.
void restrict_dll_search_or_exit() {
    if (const DWORD error = restrict_dll_search(); error != ERROR_SUCCESS) {
        fatal_exit("无法限制 DLL 加载路径 (err=" + std::to_string(error) + ")");
    }
}

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

// The worker has claimed the end of the run, so its outcome is stored, or will be after the
// work left to it, when a close destroyed the window first: keeping the file, the log line and,
// in a build with a signer, the check, itself bounded (two chain builds of at most 10 s each,
// revocation within 3 s). A short poll waits for it: a condition variable would add some 37 KB
// of threading runtime to the exe for this one wait.
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
                       write_log("下载完成: " + success.installer_path);
                       launch_installer(success.installer_path);
                   },
                   [](const DownloadFailure& failure) { fatal_exit(failure.message); },
               },
               *taken.outcome);
}

// Every end goes through end_process (TerminateProcess), which ends the download thread before
// anything else: no static destructor runs while it may still touch the shared state, no DLL's
// detach code waits for a lock that an abandoned thread holds, and a file it has not kept goes
// with its handle.
[[noreturn]] void end_run() {
    // A window gone without a decision (its loop ended some other way) counts as closed.
    shared_state.claim(RunState::closed);
    switch (shared_state.run_state.load(std::memory_order_acquire)) {
        case RunState::cancelled:
            report_failure(CANCELLED_MESSAGE);
            wait_for_run_folder_release(FOLDER_RELEASE_BOUND_MS);
            end_process(1);
        case RunState::finishing:
            handle_outcome();
            break;
        default:
            wait_for_run_folder_release(FOLDER_RELEASE_BOUND_MS);
            break;
    }
    end_process(0);
}

}  // namespace
}  // namespace vorn

int main() {
    using namespace vorn;
    restrict_dll_search_or_exit();
    // A copy that joins the run under way has done nothing of its own: it leaves no line.
    if (join_running_copy()) end_process(0);
    write_log("vorn-installer 启动");
    create_progress_window();
    start_worker();
    run_message_loop();
    end_run();
}
