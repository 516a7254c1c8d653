// The signer's chain, built for code signing, and the rules every one of its links must keep.
#pragma once

#include <cstdint>

#include "trust/crypt.h"

namespace vorn {

// The signer's chain, built for code signing at `at` with the certificates that came with the
// signature (`store`) besides the system's; `flags` and `timeout_ms` as the engine takes them.
// 0 and the chain in `chain`, or the failed call's code.
std::uint32_t build_chain(PCCERT_CONTEXT certificate, FILETIME at, HCERTSTORE store, DWORD flags,
                          DWORD timeout_ms, ChainHandle& chain);

// The signer's chain as the system judges it for code signing at `verified_at`, from what the
// machine already has: the engine's error status, the Authenticode policy, then link_refusal.
// 0: passed; else the first refusal's code.
std::uint32_t chain_refusal(PCCERT_CONTEXT certificate, FILETIME verified_at);

// The rules of a chain that an engine may leave out, checked on every link of a chain the engine
// built and accepted: every certificate's extended key usage (every such extension, where it has
// any) allows code signing, and every certificate above each simple chain's first is a CA (basic
// constraints, CA true; a trusted root may say nothing) whose path length limit the CAs below it
// keep (self-issued ones not counted). An extension the platform cannot decode fails its rule.
// Returns 0 when all hold, else the code Windows' engine gives: CERT_TRUST_IS_NOT_VALID_FOR_USAGE
// or CERT_TRUST_INVALID_BASIC_CONSTRAINTS (CERT_E_CHAINING for a chain without links).
std::uint32_t link_refusal(const CERT_CHAIN_CONTEXT& chain);

}  // namespace vorn
