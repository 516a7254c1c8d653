// The signer certificate's end of validity and whether the signature is timestamped, read from
// an installer's signature through the platform.
#pragma once

#include <optional>

#include "gate/expiry_notice.h"

namespace vorn {

// For the first signer of the file at `path`, the one WinVerifyTrust verifies: its certificate's
// end of validity against now, and whether its signature carries a timestamp (an RFC 3161 or an
// Authenticode counter-signature among its unsigned attributes; whether that timestamp is valid
// is WinVerifyTrust's to say). Nothing when the signature cannot be read.
std::optional<SignerExpiry> read_signer_expiry(const wchar_t* path);

}  // namespace vorn
