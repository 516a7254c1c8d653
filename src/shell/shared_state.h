// What the UI thread and the download worker share: one static record, two private messages,
// the outcome type and the hand-off slot. No Windows header is needed here: window handles are
// declared the way <windows.h> declares them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

struct HWND__;
using HWND = HWND__*;

namespace vorn {

// Posted to the main window, never sent; they carry no payload: the window procedure reads the
// newest counters from the shared record.
constexpr unsigned WM_APP_PROGRESS = 0x8000 + 1;  // WM_APP + 1
constexpr unsigned WM_APP_DONE = 0x8000 + 2;      // WM_APP + 2

struct DownloadSuccess {
    std::string installer_path;
};

struct DownloadFailure {
    std::string message;  // for the user, in Chinese
};

using DownloadResult = std::variant<DownloadSuccess, DownloadFailure>;

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

// Each value is meaningful on its own, so relaxed atomics suffice; the slot's mutex is the only
// lock in the program.
struct SharedState {
    std::atomic<HWND> main_window{nullptr};
    std::atomic<HWND> status_label{nullptr};
    std::atomic<HWND> progress_bar{nullptr};
    std::atomic<std::uint64_t> bytes_received{0};
    std::atomic<std::uint64_t> total_bytes{0};  // 0: length unknown
    std::atomic<bool> cancel_requested{false};
    ResultSlot result_slot;
};

extern SharedState shared_state;

// Registers the class, creates and shows the window and its controls, records their handles.
// On failure it ends the process through fatal_exit.
HWND create_progress_window();

// Body of the worker thread: downloads, stores the outcome, posts WM_APP_DONE.
void download_worker(std::string address);

}  // namespace vorn
