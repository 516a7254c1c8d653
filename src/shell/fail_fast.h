#pragma once

namespace vorn {

// Memory exhaustion and other broken invariants: end at once with FAST_FAIL_FATAL_APP_EXIT,
// no dialog, no log line.
[[noreturn]] void fail_fast();

}  // namespace vorn
