#include "gate/expiry_notice.h"

namespace vorn {
namespace {

constexpr std::int64_t SECONDS_PER_DAY = 24 * 60 * 60;
// What every stub says about a signature checked past its certificate's end without a
// timestamp: on Windows WinVerifyTrust's CERT_E_EXPIRED; under wine, which lets that pass, the
// chain step's CERT_TRUST_IS_NOT_TIME_VALID.
constexpr const char* EXPIRED_REFUSAL =
    "\"安装器签名无效 (err=0x800B0101)\" on Windows, \"安装器签名无效 (err=0x00000001)\" under "
    "wine";

std::string days(std::int64_t seconds) {
    const std::int64_t whole = seconds / SECONDS_PER_DAY;
    if (whole == 0) return "less than a day";
    return std::to_string(whole) + (whole == 1 ? " day" : " days");
}

std::string when(const SignerExpiry& expiry) {
    if (expiry.seconds_left < 0) {
        return "expired on " + expiry.date + ", " + days(-expiry.seconds_left) + " ago";
    }
    return "expires on " + expiry.date + ", in " + days(expiry.seconds_left);
}

}  // namespace

std::optional<std::string> expiry_notice(const SignerExpiry& expiry) {
    const bool soon = expiry.seconds_left < EXPIRY_WARNING_SECONDS;
    if (soon && expiry.timestamped) {
        return "warning: the signer's certificate " + when(expiry) +
               ". The installer keeps passing after that date, as its signature is "
               "timestamped; sign the next installers with the renewed certificate.";
    }
    if (soon) {
        return "warning: the signer's certificate " + when(expiry) +
               ", and this signature is not timestamped: from then on every stub refuses this "
               "installer (" +
               std::string(EXPIRED_REFUSAL) +
               "). Sign it again with a timestamp (signtool sign /tr URL /td sha256, "
               "osslsigncode sign -ts URL) before uploading it.";
    }
    if (!expiry.timestamped) {
        return "note: this signature is not timestamped: every stub refuses this installer once "
               "the signer's certificate has expired, on " +
               expiry.date + ". Sign with a timestamp to keep it valid after that.";
    }
    return std::nullopt;
}

}  // namespace vorn
