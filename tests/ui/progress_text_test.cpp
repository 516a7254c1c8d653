#include "ui/progress_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace vorn {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

struct Case {
    std::uint64_t received, total;
    const char* text;
    std::uint64_t bar;
};

TEST(ProgressText, DocumentedCases) {
    const Case cases[] = {
        {0, 0, "正在下载 0%  (0.0 / 0.0 MB)", 0},
        {50 * MiB, 100 * MiB, "正在下载 50%  (50.0 / 100.0 MB)", 50},
        {MiB, 0, "正在下载 0%  (1.0 / 0.0 MB)", 0},
        {1, 8, "正在下载 13%  (0.0 / 0.0 MB)", 13},              // 12.5 rounds away from zero
        {MiB / 4, MiB / 2, "正在下载 50%  (0.2 / 0.5 MB)", 50},  // 0.25 is a tie: to even
        {3 * MiB / 4, MiB, "正在下载 75%  (0.8 / 1.0 MB)", 75},  // 0.75 is a tie: to even
        {3 * MiB, MiB, "正在下载 300%  (3.0 / 1.0 MB)", 100},
        {MiB / 20, MiB, "正在下载 5%  (0.0 / 1.0 MB)", 5},  // 0.05 MiB is just below 0.05
        {1, 3, "正在下载 33%  (0.0 / 0.0 MB)", 33},
        {2, 3, "正在下载 67%  (0.0 / 0.0 MB)", 67},
        {0, 1, "正在下载 0%  (0.0 / 0.0 MB)", 0},
        {UINT64_MAX, UINT64_MAX, "正在下载 100%  (17592186044416.0 / 17592186044416.0 MB)", 100},
        // Saturated: 2^64 - 1 shows as the double it converts to, 2^64.
        {UINT64_MAX, 1, "正在下载 18446744073709551616%  (17592186044416.0 / 0.0 MB)", 100},
        {1ull << 53, 1, "正在下载 900719925474099200%  (8589934592.0 / 0.0 MB)", 100},
        {1, UINT64_MAX, "正在下载 0%  (0.0 / 17592186044416.0 MB)", 0},
    };
    for (const auto& c : cases) {
        const ProgressFigures figures = progress_text(c.received, c.total);
        EXPECT_EQ(figures.text, c.text) << c.received << "/" << c.total;
        EXPECT_EQ(figures.bar_position, c.bar) << c.received << "/" << c.total;
    }
    EXPECT_EQ(progress_text(UINT64_MAX, 1).percent, UINT64_MAX);
    EXPECT_EQ(progress_text(1ull << 53, 1).percent, 900719925474099200ull);
}

// The reference formats with glibc's printf, which is correctly rounded from the exact binary
// value with ties to even, and computes the percent the slow way.
std::string reference(std::uint64_t received, std::uint64_t total) {
    double q = 0.0;
    if (total != 0) {
        q = std::round(static_cast<double>(received) / static_cast<double>(total) * 100.0);
        if (q >= 18446744073709551616.0) q = 18446744073709551616.0;
    }
    char buffer[200];
    std::snprintf(buffer, sizeof buffer, "正在下载 %.0f%%  (%.1f / %.1f MB)", q,
                  std::ldexp(static_cast<double>(received), -20),
                  std::ldexp(static_cast<double>(total), -20));
    return buffer;
}

std::vector<std::uint64_t> interesting_counts() {
    std::vector<std::uint64_t> values = {0,
                                         1,
                                         2,
                                         MiB - 1,
                                         MiB,
                                         MiB + 1,
                                         (1ull << 53) - 1,
                                         1ull << 53,
                                         (1ull << 53) + 1,
                                         UINT64_MAX,
                                         UINT64_MAX - 1,
                                         UINT64_MAX - 1024,
                                         UINT64_MAX - 2048};
    // The exact ties of the one-decimal rounding are the odd multiples of MiB / 4; their
    // neighbours must round the other way.
    for (std::uint64_t k = 0; k < 64; ++k) {
        const std::uint64_t tie = (2 * k + 1) * (MiB / 4);
        values.insert(values.end(), {tie - 1, tie, tie + 1});
    }
    std::mt19937_64 random(3);
    for (int i = 0; i < 3000; ++i) {
        values.push_back(random() >> (random() % 64));
    }
    return values;
}

TEST(ProgressText, AgreesWithAReferenceOverManyInputs) {
    const auto values = interesting_counts();
    std::mt19937_64 random(5);
    for (const std::uint64_t received : values) {
        for (int i = 0; i < 8; ++i) {
            const std::uint64_t total = values[random() % values.size()];
            const ProgressFigures figures = progress_text(received, total);
            ASSERT_EQ(figures.text, reference(received, total)) << received << "/" << total;
            ASSERT_EQ(figures.bar_position, std::min<std::uint64_t>(figures.percent, 100));
        }
    }
}

}  // namespace
}  // namespace vorn
