// What the window shows for the two byte counters: bar position and status line.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

struct ProgressFigures {
    std::uint64_t percent = 0;       // not capped: more bytes than announced show above 100
    std::uint64_t bar_position = 0;  // percent capped at 100
    std::string text;
};

// `total` 0 means the length is unknown.
ProgressFigures progress_text(std::uint64_t received, std::uint64_t total);

}  // namespace vorn
