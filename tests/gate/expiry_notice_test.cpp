#include "gate/expiry_notice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vorn {
namespace {

constexpr std::int64_t DAY = 24 * 60 * 60;
constexpr const char* DATE = "2027-01-10 12:00 UTC";

struct Case {
    const char* what;
    std::int64_t seconds_left;
    bool timestamped;
    std::optional<std::string> starts;  // the notice's beginning; none: no notice
    const char* holds;                  // more of it, or nullptr
};

TEST(ExpiryNotice, Rows) {
    const std::string expires = std::string("warning: the signer's certificate expires on ") + DATE;
    const Case cases[] = {
        {"far ahead, timestamped: nothing to say", 400 * DAY, true, std::nullopt, nullptr},
        {"far ahead, no timestamp: the date it stops passing", 400 * DAY, false,
         std::string("note: this signature is not timestamped"), DATE},
        {"just past the 30 days", 30 * DAY, true, std::nullopt, nullptr},
        {"just within the 30 days, timestamped: still passes after", 30 * DAY - 1, true,
         expires + ", in 29 days.", "keeps passing after that date"},
        {"within the 30 days, no timestamp: every stub refuses then", 9 * DAY + 5, false,
         expires + ", in 9 days, and this signature is not timestamped",
         "安装器签名无效 (err=0x800B0101)"},
        {"within a day", DAY - 1, false, expires + ", in less than a day,", nullptr},
        {"one day", DAY, false, expires + ", in 1 day,", nullptr},
        {"already past, timestamped (it passed)", -3 * DAY, true,
         std::string("warning: the signer's certificate expired on ") + DATE + ", 3 days ago.",
         "keeps passing"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const std::optional<std::string> notice =
            expiry_notice(SignerExpiry{row.seconds_left, row.timestamped, DATE});
        ASSERT_EQ(notice.has_value(), row.starts.has_value()) << notice.value_or("");
        if (!notice) continue;
        EXPECT_EQ(notice->substr(0, row.starts->size()), *row.starts) << *notice;
        if (row.holds) {
            EXPECT_NE(notice->find(row.holds), std::string::npos) << *notice;
        }
        EXPECT_EQ(notice->find('\n'), std::string::npos) << "one line";
    }
}

}  // namespace
}  // namespace vorn
