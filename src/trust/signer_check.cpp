#include "trust/signer_check.h"

#include <cstdint>

#include "trust/carried_chain.h"
#include "trust/chain_rules.h"
#include "trust/revocation.h"
#include "trust/signature.h"
#include "text.h"

namespace vorn {
namespace {

std::string invalid_signature(std::uint32_t code) {
    return "安装器签名无效 (err=0x" + hex8(code) + ")";
}

std::optional<std::string> signature_refusal(HANDLE file, const WideString& path,
                                             const InstallerSigner& publisher) {
    // First, so that no server holds the check: a chain that would need an issuer fetched is
    // refused before WinVerifyTrust, which may fetch it whatever it is told.
    if (const std::uint32_t code = missing_issuer_refusal(path.c_str()); code != 0) {
        return invalid_signature(code);
    }
    const TrustVerification trust(file, path.c_str());
    if (trust.result() != ERROR_SUCCESS) return invalid_signature(trust.result());
    const CRYPT_PROVIDER_SGNR* const signer = trust.signer();
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain[0].pCert == nullptr) {
        return invalid_signature(static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT));
    }
    const PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
    if (const std::uint32_t code = chain_refusal(certificate, signer->sftVerifyAsOf); code != 0) {
        return invalid_signature(code);
    }
    if (const auto someone_else = signer_mismatch(certificate, publisher)) {
        return "安装器签名者不符: " + *someone_else;
    }
    // Last: the network is asked only about the publisher's own, otherwise valid, chain.
    if (const auto code = bounded_revocation_refusal(certificate, signer->sftVerifyAsOf)) {
        return invalid_signature(code);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> check_installer_signer(const std::string& path,
                                                  const InstallerSigner& publisher, HANDLE held) {
    return signature_refusal(held, to_wide(path), publisher);
}

}  // namespace vorn
