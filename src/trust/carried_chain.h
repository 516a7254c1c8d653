// Before the signature is verified: whether its signer's chain is complete without the network.
#pragma once

#include <cstdint>

namespace vorn {

// The signer's chain of the file at `path`, built as it stands now from the certificates its
// signature carries and those the machine has, no issuer fetched (the platform's root update
// alone may add a trusted root), within CHAIN_BUDGET_MS. WinVerifyTrust cannot be
// kept off the network everywhere (wine's fetches a missing issuer from the address its
// certificate names, and waits on a silent server for good), so a chain that lacks an issuer is
// refused here, before it runs: the chain's error status, which holds CERT_TRUST_IS_PARTIAL_CHAIN.
// 0 when the chain is complete (whatever else is wrong with it: the steps after judge that), or
// when the file holds no signature the platform can read (WinVerifyTrust, reading it the same
// way, then refuses it with its own code, having no certificate to fetch an issuer for).
// HRESULT_FROM_WIN32(ERROR_TIMEOUT) when the engine did not answer within the budget.
std::uint32_t missing_issuer_refusal(const wchar_t* path);

}  // namespace vorn
