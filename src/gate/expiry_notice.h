// What the release gate tells the release engineer about the signer certificate's end of
// validity, beside its verdict (which it never changes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorn {

// How far ahead an end of validity is worth a warning: a release uploaded now is still being
// downloaded weeks later.
inline constexpr std::int64_t EXPIRY_WARNING_SECONDS = 30LL * 24 * 60 * 60;

struct SignerExpiry {
    std::int64_t seconds_left;  // from now to the certificate's end of validity; < 0: past it
    bool timestamped;           // the signature carries a timestamp
    std::string date;           // the end of validity as shown, e.g. "2027-01-10 12:00 UTC"
};

// A line for the release engineer (English, no newline), or nothing to say: a warning when the
// certificate ends within EXPIRY_WARNING_SECONDS, whether the installer keeps passing after that
// (timestamped) or not; a note, further ahead, that a signature without a timestamp stops
// passing on that date.
std::optional<std::string> expiry_notice(const SignerExpiry& expiry);

}  // namespace vorn
