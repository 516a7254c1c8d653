#include "trust/carried_chain.h"

#include "trust/chain_rules.h"
#include "trust/crypt.h"

namespace vorn {
namespace {

// The first signer's certificate, the one WinVerifyTrust verifies, from those the signature
// carries; its signature is not checked here (WinVerifyTrust does).
CertificateHandle first_signer(HCRYPTMSG signature) {
    PCCERT_CONTEXT signer = nullptr;
    DWORD index = 0;
    if (!CryptMsgGetAndVerifySigner(signature, 0, nullptr,
                                    CMSG_SIGNER_ONLY_FLAG | CMSG_USE_SIGNER_INDEX_FLAG, &signer,
                                    &index)) {
        signer = nullptr;
    }
    return CertificateHandle(signer);
}

// A chain that lacks an issuer: its whole error status, which says so.
std::uint32_t partial_chain_refusal(const CERT_CHAIN_CONTEXT& chain) {
    const DWORD status = chain.TrustStatus.dwErrorStatus;
    return (status & CERT_TRUST_IS_PARTIAL_CHAIN) != 0 ? status : 0;
}

}  // namespace

std::uint32_t missing_issuer_refusal(const wchar_t* path) {
    StoreHandle carried;
    MessageHandle signature;
    if (!read_embedded_signature(path, carried, signature)) return 0;
    const CertificateHandle signer = first_signer(signature.get());
    if (!signer.valid()) return 0;

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return bounded_chain_refusal(signer.get(), now, carried.get(), partial_chain_refusal);
}

}  // namespace vorn
