#include "ui/progress_text.h"

#include <algorithm>
#include <cmath>

namespace vorn {
namespace {

// Formatting works on the exact value of each double with 128-bit integers: every double here
// is a whole number below 2^65, so the arithmetic is exact and needs none of the C runtime's
// floating-point printing (not correctly rounded everywhere) or std::to_chars' large tables.
using Wide = unsigned __int128;

constexpr double LARGEST_BELOW_2_64 = 1.844674407370955e19;
constexpr int MIB_SHIFT = 20;

std::string decimal(Wide value) {
    char digits[40];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return std::string(p, end);
}

std::uint64_t saturate(double q) {
    if (!(q >= 0.0)) return 0;  // negative or not a number
    if (q > LARGEST_BELOW_2_64) return UINT64_MAX;
    return static_cast<std::uint64_t>(q);
}

// `bytes` converted to double, times 2^-20, with one decimal: correctly rounded from the
// exact value, an exact tie going to the even digit.
std::string mebibytes(std::uint64_t bytes) {
    const auto exact = static_cast<Wide>(static_cast<double>(bytes));  // whole, at most 2^64
    const Wide scaled = exact * 10;                                    // tenths, times 2^20
    Wide tenths = scaled >> MIB_SHIFT;
    const Wide remainder = scaled & ((Wide{1} << MIB_SHIFT) - 1);
    const Wide half = Wide{1} << (MIB_SHIFT - 1);
    if (remainder > half || (remainder == half && (tenths & 1) != 0)) ++tenths;
    return decimal(tenths / 10) + '.' + static_cast<char>('0' + static_cast<int>(tenths % 10));
}

}  // namespace

ProgressFigures progress_text(std::uint64_t received, std::uint64_t total) {
    ProgressFigures figures;
    if (total != 0) {
        const double ratio = static_cast<double>(received) / static_cast<double>(total);
        figures.percent = saturate(std::round(ratio * 100.0));
    }
    figures.bar_position = std::min<std::uint64_t>(figures.percent, 100);
    // The percent is shown as the double it converts to: 2^64 - 1 shows as 2^64.
    const auto shown_percent = static_cast<Wide>(static_cast<double>(figures.percent));
    figures.text = "正在下载 " + decimal(shown_percent) + "%  (" + mebibytes(received) + " / " +
                   mebibytes(total) + " MB)";
    return figures;
}

}  // namespace vorn
