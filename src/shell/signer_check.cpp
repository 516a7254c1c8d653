#include "shell/signer_check.h"

#include <windows.h>
// After windows.h, which they need.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "text.h"

namespace vorn {
namespace {

// Sharing read alone keeps every writer, renamer and deleter out while the shell can still
// start the file. Read access alone, so that whatever the shell and the system open the file
// with on the way to starting it (elevation included) need not share more than reading.
constexpr DWORD HOLD_ACCESS = GENERIC_READ;

struct ChainTraits {
    static PCCERT_CHAIN_CONTEXT none() { return nullptr; }
    static void close(PCCERT_CHAIN_CONTEXT chain) { CertFreeCertificateChain(chain); }
};

using ChainHandle = UniqueHandle<ChainTraits>;

// Nobody to ask: WinVerifyTrust never shows anything.
const HWND NO_INTERACTIVE_USER = static_cast<HWND>(INVALID_HANDLE_VALUE);

// A failed call's error as a code that is never 0, so it can never read as a pass.
std::uint32_t failure_code(DWORD error) {
    return error != ERROR_SUCCESS ? static_cast<std::uint32_t>(HRESULT_FROM_WIN32(error))
                                  : static_cast<std::uint32_t>(E_FAIL);
}

std::string invalid_signature(std::uint32_t code) {
    return "安装器签名无效 (err=0x" + hex8(code) + ")";
}

// One WinVerifyTrust verification of a file handle: no UI, no revocation check. Its state (the
// signer, its certificates) lives until the close action in the destructor.
class TrustVerification {
  public:
    TrustVerification(HANDLE file, const wchar_t* path) {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = path;
        file_.hFile = file;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
        result_ = static_cast<std::uint32_t>(WinVerifyTrust(NO_INTERACTIVE_USER, &action_, &data_));
    }
    TrustVerification(const TrustVerification&) = delete;
    TrustVerification& operator=(const TrustVerification&) = delete;
    ~TrustVerification() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(NO_INTERACTIVE_USER, &action_, &data_);
    }

    std::uint32_t result() const { return result_; }

    // The primary signer, or null.
    const CRYPT_PROVIDER_SGNR* signer() const {
        CRYPT_PROVIDER_DATA* const provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        return provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    }

  private:
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
    std::uint32_t result_ = 0;
};

// A structure that CryptDecodeObjectEx allocated; freed with LocalFree.
template <class Structure>
struct DecodedTraits {
    static Structure* none() { return nullptr; }
    static void close(Structure* decoded) { LocalFree(decoded); }
};

template <class Structure>
using Decoded = UniqueHandle<DecodedTraits<Structure>>;

// The extension's value as the platform decodes it, or none when it cannot be read.
template <class Structure>
Decoded<Structure> decode(const CERT_EXTENSION& extension, LPCSTR type) {
    Structure* decoded = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, extension.Value.pbData,
                             extension.Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded,
                             &size)) {
        decoded = nullptr;
    }
    return Decoded<Structure>(decoded);
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
        const auto usage = decode<CERT_ENHKEY_USAGE>(extension, X509_ENHANCED_KEY_USAGE);
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
        const auto basic = decode<CERT_BASIC_CONSTRAINTS2_INFO>(extension, X509_BASIC_CONSTRAINTS2);
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

// WinVerifyTrust alone is not enough everywhere (wine accepts chains to an untrusted root,
// self-signed certificates and ones without the code-signing usage), so the signer's chain is
// built again here, for code signing, at the time the signature was verified. Its error status,
// the Authenticode policy and then the rules an engine may leave out (link_refusal) must all
// pass: each misses cases the others catch, and the engine's own codes come first. 0: passed.
std::uint32_t chain_refusal(PCCERT_CONTEXT certificate, FILETIME verified_at) {
    LPSTR code_signing[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = code_signing;
    // The certificate's own store is the signature's: the certificates that came with it.
    PCCERT_CHAIN_CONTEXT built = nullptr;
    const bool ok =
        CertGetCertificateChain(nullptr, certificate, &verified_at, certificate->hCertStore,
                                &parameters, 0, nullptr, &built);
    const DWORD error = GetLastError();
    const ChainHandle chain(built);
    if (!ok || !chain.valid()) return failure_code(error);
    if (chain.get()->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
        return chain.get()->TrustStatus.dwErrorStatus;
    }

    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get(), &policy,
                                          &status)) {
        return failure_code(GetLastError());
    }
    return status.dwError != 0 ? status.dwError : link_refusal(*chain.get());
}

// The first common name in the certificate's subject, in UTF-16 as the platform gives it.
WideString subject_common_name(PCCERT_CONTEXT certificate) {
    void* const common_name = const_cast<LPSTR>(szOID_COMMON_NAME);
    const DWORD size =
        CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, common_name, nullptr, 0);
    WideString name(size, L'\0');  // size counts the terminator; it is at least 1
    CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, common_name, name.data(), size);
    name.resize(size > 0 ? size - 1 : 0);
    return name;
}

std::optional<std::string> signature_refusal(HANDLE file, const WideString& path,
                                             std::string_view expected_signer) {
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
    const WideString name = subject_common_name(certificate);
    if (from_wide_strict(name) != expected_signer) return "安装器签名者不符: " + from_wide(name);
    return std::nullopt;
}

}  // namespace

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

std::optional<std::string> check_installer_signer(const std::string& path,
                                                  std::string_view expected_signer,
                                                  FileHandle& held) {
    const WideString wide_path = to_wide(path);
    const HANDLE file = CreateFileW(wide_path.c_str(), HOLD_ACCESS, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD open_error = GetLastError();
    const std::optional<std::string> refusal =
        held.open(file) ? signature_refusal(held.get(), wide_path, expected_signer)
                        : invalid_signature(failure_code(open_error));
    if (refusal) {
        // A file that is not the publisher's must not stay behind with the installer's name.
        held.reset();
        DeleteFileW(wide_path.c_str());
    }
    return refusal;
}

}  // namespace vorn
