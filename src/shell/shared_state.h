// What the UI thread and the download worker share: one static record, two private messages,
// the outcome type and the hand-off slot. No Windows header is needed here: window handles are
// declared the way <windows.h> declares them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

struct HWND__;
using HWND = HWND__*;

namespace vorn {

// Posted to the main window, never sent; they carry no payload: the window procedure reads the
// newest counters from the shared record.
constexpr unsigned WM_APP_PROGRESS = 0x8000 + 1;  // WM_APP + 1
constexpr unsigned WM_APP_DONE = 0x8000 + 2;      // WM_APP + 2
// The download is complete and its end claimed: the installer is being checked, and Cancel
// comes too late.
constexpr unsigned WM_APP_CHECKING = 0x8000 + 3;  // WM_APP + 3

// An open file handed from the download thread to the UI thread: the platform's handle, opaque
// here, closed by the function of the code that opened it.
struct HeldFileCloser {
    void (*close)(void*) = nullptr;
    void operator()(void* handle) const {
        if (close != nullptr) close(handle);
    }
};
using HeldFile = std::unique_ptr<void, HeldFileCloser>;

struct DownloadSuccess {
    std::string installer_path;
    // The installer, held so that nobody can write, rename or delete it until the shell has
    // started it (none in the native tests).
    HeldFile held;
};

struct DownloadFailure {
    std::string message;  // for the user, in Chinese
};

using DownloadResult = std::variant<DownloadSuccess, DownloadFailure>;

inline constexpr std::string_view CANCELLED_MESSAGE = "用户已取消";

// The worker's outcome, stored once by the worker and taken once by the UI thread.
class ResultSlot {
  public:
    // The lock is held until the caller has acted on the outcome and drops this.
    struct Taken {
        std::unique_lock<std::mutex> lock;
        std::optional<DownloadResult> outcome;
    };

    void store(DownloadResult outcome);
    Taken take();

  private:
    std::mutex mutex_;
    std::optional<DownloadResult> outcome_;
};

// Who ends the run. It starts as running and moves on exactly once, to whichever side claims it
// first: the window (Cancel, the close button) or the download thread (its outcome decided).
// The loser never acts on the run: a window that lost waits for the outcome; a worker that lost
// keeps no file, starts nothing, and is ended with the process.
enum class RunState : std::uint8_t {
    running,
    cancelled,  // Cancel: the run ends with the cancellation's box
    closed,     // the close button, or the window gone otherwise: the run ends quietly
    finishing,  // the worker's outcome, success or failure, is handled as usual
};

// Each counter is meaningful on its own, so relaxed atomics suffice; the run state is the one
// decision both threads take part in, and the slot's mutex is the only lock in the program.
struct SharedState {
    std::atomic<HWND> main_window{nullptr};
    std::atomic<HWND> status_label{nullptr};
    std::atomic<HWND> progress_bar{nullptr};
    std::atomic<std::uint64_t> bytes_received{0};
    std::atomic<std::uint64_t> total_bytes{0};  // 0: length unknown
    std::atomic<RunState> run_state{RunState::running};
    ResultSlot result_slot;

    // Moves a running run to `end`; false when another claim came first.
    bool claim(RunState end);
    bool still_running() const {
        return run_state.load(std::memory_order_relaxed) == RunState::running;
    }
};

extern SharedState shared_state;

// Registers the class, creates and shows the window and its controls, records their handles.
// On failure it ends the process through fatal_exit.
HWND create_progress_window();

}  // namespace vorn
