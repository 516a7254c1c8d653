#include "trust/chain_rules.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>

namespace vorn {
namespace {

template <class Structure>
Decoded<Structure> decode_extension(const CERT_EXTENSION& extension, LPCSTR type) {
    return decode<Structure>(type, extension.Value.pbData, extension.Value.cbData);
}

bool is(const CERT_EXTENSION& extension, const char* oid) {
    return std::strcmp(extension.pszObjId, oid) == 0;
}

// A certificate without an extended-key-usage extension allows every usage; with one (every one,
// should it carry several), it must name code signing or any usage.
bool allows_code_signing(const CERT_INFO& certificate) {
    for (const CERT_EXTENSION& extension :
         std::span(certificate.rgExtension, certificate.cExtension)) {
        if (!is(extension, szOID_ENHANCED_KEY_USAGE)) continue;
        const auto usage = decode_extension<CERT_ENHKEY_USAGE>(extension, X509_ENHANCED_KEY_USAGE);
        if (!usage.valid()) return false;
        const std::span usages(usage.get()->rgpszUsageIdentifier, usage.get()->cUsageIdentifier);
        if (std::none_of(usages.begin(), usages.end(), [](const char* oid) {
                return std::strcmp(oid, szOID_PKIX_KP_CODE_SIGNING) == 0 ||
                       std::strcmp(oid, szOID_ANY_ENHANCED_KEY_USAGE) == 0;
            })) {
            return false;
        }
    }
    return true;
}

// Whether the certificate may issue certificates with `issuers_below` CAs between it and the
// leaf: its basic constraints say it is a CA and their path length limit allows as many. The
// root that ends an accepted chain is trusted as an anchor, not for what it says of itself, so
// it needs no basic constraints (old roots have none); when it has them, they hold like anyone's.
bool may_issue(const CERT_INFO& certificate, DWORD issuers_below, bool is_root) {
    bool constrained = false;
    for (const CERT_EXTENSION& extension :
         std::span(certificate.rgExtension, certificate.cExtension)) {
        if (!is(extension, szOID_BASIC_CONSTRAINTS2)) continue;
        const auto basic =
            decode_extension<CERT_BASIC_CONSTRAINTS2_INFO>(extension, X509_BASIC_CONSTRAINTS2);
        if (!basic.valid() || !basic.get()->fCA) return false;
        if (basic.get()->fPathLenConstraint && basic.get()->dwPathLenConstraint < issuers_below) {
            return false;
        }
        constrained = true;
    }
    return constrained || is_root;
}

// A certificate that names itself as its issuer (a CA's new key) does not count against a path
// length limit.
bool self_issued(const CERT_INFO& certificate) {
    return CertCompareCertificateName(X509_ASN_ENCODING,
                                      const_cast<CERT_NAME_BLOB*>(&certificate.Subject),
                                      const_cast<CERT_NAME_BLOB*>(&certificate.Issuer));
}

// One bounded chain build's own references to what it reads, so that a build abandoned at its
// budget never touches what the caller has since freed.
struct ChainBuild {
    ChainBuild(PCCERT_CONTEXT certificate, FILETIME at, HCERTSTORE store, ChainJudge judge)
        : certificate(CertDuplicateCertificateContext(certificate)),
          store(store ? CertDuplicateStore(store) : nullptr),
          at(at),
          judge(judge) {}

    const CertificateHandle certificate;
    const StoreHandle store;
    const FILETIME at;
    const ChainJudge judge;
    std::uint32_t refusal = 0;
};

DWORD WINAPI run_chain_build(void* parameter) {
    auto* const build = static_cast<ChainBuild*>(parameter);
    ChainHandle chain;
    build->refusal = build_chain(build->certificate.get(), build->at, build->store.get(),
                                 offline_issuers(), 0, chain);
    if (build->refusal == 0) build->refusal = build->judge(*chain.get());
    return 0;
}

// Step 2's judgement of the chain: its error status, the Authenticode policy, then link_refusal.
std::uint32_t code_signing_refusal(const CERT_CHAIN_CONTEXT& chain) {
    if (chain.TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
        return chain.TrustStatus.dwErrorStatus;
    }
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, &chain, &policy,
                                          &status)) {
        return failure_code(GetLastError());
    }
    return status.dwError != 0 ? status.dwError : link_refusal(chain);
}

}  // namespace

// Issuers only from the signature and the machine's stores: no AIA fetch. Automatic root update
// stays on, so a machine that has not met the publisher's root yet can still fetch it; the
// chain's own deadline bounds that. The same flags everywhere: wine's engine, which ignores this
// flag and fetches, is bounded by that deadline too.
DWORD offline_issuers() {
    return CERT_CHAIN_DISABLE_AIA;
}

std::uint32_t bounded_chain_refusal(PCCERT_CONTEXT certificate, FILETIME at, HCERTSTORE store,
                                    ChainJudge judge) {
    auto build = std::make_unique<ChainBuild>(certificate, at, store, judge);
    const ObjectHandle thread(CreateThread(nullptr, 0, run_chain_build, build.get(), 0, nullptr));
    if (!thread.valid()) return failure_code(GetLastError());
    if (WaitForSingleObject(thread.get(), CHAIN_BUDGET_MS) != WAIT_OBJECT_0) {
        build.release();  // still the thread's
        return static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    }
    return build->refusal;
}

std::uint32_t build_chain(PCCERT_CONTEXT certificate, FILETIME at, HCERTSTORE store, DWORD flags,
                          DWORD timeout_ms, ChainHandle& chain) {
    LPSTR code_signing[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA parameters{};
    // Up to the retrieval timeout and the fields beside it, not the header's full size: Windows
    // reads the timeout at any size that holds it, wine only at this one (at the full size it
    // waited on a silent CRL server for good).
    parameters.cbSize = offsetof(CERT_CHAIN_PARA, pStrongSignPara);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = code_signing;
    parameters.dwUrlRetrievalTimeout = timeout_ms;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    const bool ok = CertGetCertificateChain(nullptr, certificate, &at, store, &parameters, flags,
                                            nullptr, &built);
    const DWORD error = GetLastError();
    return chain.open(built) && ok ? 0 : failure_code(error);
}

// WinVerifyTrust alone is not enough everywhere (wine accepts chains to an untrusted root,
// self-signed certificates and ones without the code-signing usage), so the signer's chain is
// built again here, for code signing, at the time the signature was verified. Its error status,
// the Authenticode policy and then the rules an engine may leave out (link_refusal) must all
// pass: each misses cases the others catch, and the engine's own codes come first. A missing
// intermediate is not fetched, so no CA's server holds the installer here (the revocation step
// alone asks, within its budget), and the whole build is bounded, whatever the root update does.
std::uint32_t chain_refusal(PCCERT_CONTEXT certificate, FILETIME verified_at) {
    return bounded_chain_refusal(certificate, verified_at, certificate->hCertStore,
                                 code_signing_refusal);
}

std::uint32_t link_refusal(const CERT_CHAIN_CONTEXT& chain) {
    if (chain.cChain == 0) return static_cast<std::uint32_t>(CERT_E_CHAINING);
    for (const CERT_SIMPLE_CHAIN* simple : std::span(chain.rgpChain, chain.cChain)) {
        const std::span links(simple->rgpElement, simple->cElement);
        DWORD issuers_below = 0;
        for (std::size_t i = 0; i < links.size(); ++i) {
            const CERT_INFO& certificate = *links[i]->pCertContext->pCertInfo;
            if (!allows_code_signing(certificate)) return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
            if (i == 0) continue;
            const bool root = i + 1 == links.size() && self_issued(certificate);
            if (!may_issue(certificate, issuers_below, root)) {
                return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
            }
            if (!self_issued(certificate)) ++issuers_below;
        }
    }
    return 0;
}

}  // namespace vorn
