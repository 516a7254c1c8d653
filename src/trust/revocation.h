// Whether a certificate of the signer's chain is known to be revoked, asked within a time budget.
#pragma once

#include <cstdint>

#include "trust/crypt.h"

namespace vorn {

// The longest the revocation step may hold the installer, in all, however many certificates and
// addresses there are and whatever the platform does with its own timeout.
constexpr unsigned long REVOCATION_BUDGET_MS = 3000;

// The chain of `certificate` built again with revocation checked at every link below the root,
// on a thread of its own, waited for at most REVOCATION_BUDGET_MS. CERT_TRUST_IS_REVOKED (or any
// other code of the engine's but an unknown status) when a link is known to be revoked; 0 when
// none is, and when nobody could tell in time (no address, no answer, an answer that cannot be
// read): revocation alone fails soft.
std::uint32_t bounded_revocation_refusal(PCCERT_CONTEXT certificate, FILETIME verified_at);

}  // namespace vorn
