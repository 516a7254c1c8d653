#include "shell/shared_state.h"

#include <utility>

namespace vorn {

SharedState shared_state;

void ResultSlot::store(DownloadResult outcome) {
    {
        const std::lock_guard lock(mutex_);
        outcome_ = std::move(outcome);
    }
    stored_.notify_all();
}

ResultSlot::Taken ResultSlot::take() {
    std::unique_lock lock(mutex_);
    stored_.wait(lock, [this] { return outcome_.has_value(); });
    DownloadResult outcome = std::move(*outcome_);
    outcome_.reset();
    return Taken{std::move(lock), std::move(outcome)};
}

bool SharedState::claim(RunState end) {
    RunState expected = RunState::running;
    return run_state.compare_exchange_strong(expected, end, std::memory_order_acq_rel);
}

}  // namespace vorn
