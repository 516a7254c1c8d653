#include "shell/shared_state.h"

#include <utility>

namespace vorn {

SharedState shared_state;

void ResultSlot::store(DownloadResult outcome) {
    const std::lock_guard lock(mutex_);
    outcome_ = std::move(outcome);
}

ResultSlot::Taken ResultSlot::take() {
    std::unique_lock lock(mutex_);
    std::optional<DownloadResult> outcome = std::exchange(outcome_, std::nullopt);
    return Taken{std::move(lock), std::move(outcome)};
}

bool SharedState::claim(RunState end) {
    RunState expected = RunState::running;
    return run_state.compare_exchange_strong(expected, end, std::memory_order_acq_rel);
}

}  // namespace vorn
