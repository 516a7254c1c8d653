// The signer's chain, built for code signing, and the rules every one of its links must keep.
#pragma once

#include <cstdint>

#include "trust/crypt.h"

namespace vorn {

// How steps 0 and 2 build the signer's chain: no issuer certificate is fetched from the address a
// certificate names (authority information access, CERT_CHAIN_DISABLE_AIA), so no CA's server
// holds the check; the platform's automatic root update (a trusted root of Microsoft's program
// that the machine has not needed before, fetched from Windows Update) stays on, so a fresh
// machine still completes the publisher's chain. The same flag everywhere; wine's engine ignores
// it (measured: it fetched the issuer and waited on a silent server), and the deadline below
// ends that wait.
DWORD offline_issuers();

// The longest one such chain build, and its judging, may hold the check. The root update is the
// only fetch left to it (two small files from Windows Update); nothing documents how long the
// engine would wait for it.
constexpr unsigned long CHAIN_BUDGET_MS = 10000;

// What a step makes of the chain the engine built: 0 to pass, else the refusal's code.
using ChainJudge = std::uint32_t (*)(const CERT_CHAIN_CONTEXT& chain);

// The chain of `certificate`, built for code signing at `at` with `store` besides the system's
// (offline_issuers()), judged by `judge`, on a thread of its own waited for at most
// CHAIN_BUDGET_MS: the engine, and any server it waits for, cannot hold the check longer. The
// judge's code; the failed build's; or HRESULT_FROM_WIN32(ERROR_TIMEOUT) past the budget, the
// thread then left, with its own references to what it reads, to end with the process.
std::uint32_t bounded_chain_refusal(PCCERT_CONTEXT certificate, FILETIME at, HCERTSTORE store,
                                    ChainJudge judge);

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
