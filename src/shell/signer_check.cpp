#include "shell/signer_check.h"

#include <windows.h>
// After windows.h, which they need.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <span>
#include <vector>

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

struct CertificateTraits {
    static PCCERT_CONTEXT none() { return nullptr; }
    static void close(PCCERT_CONTEXT certificate) { CertFreeCertificateContext(certificate); }
};

using CertificateHandle = UniqueHandle<CertificateTraits>;

struct StoreTraits {
    static HCERTSTORE none() { return nullptr; }
    static void close(HCERTSTORE store) { CertCloseStore(store, 0); }
};

using StoreHandle = UniqueHandle<StoreTraits>;

struct CrlTraits {
    static PCCRL_CONTEXT none() { return nullptr; }
    static void close(PCCRL_CONTEXT crl) { CertFreeCRLContext(crl); }
};

using CrlHandle = UniqueHandle<CrlTraits>;

// What a revocation check may leave open: nobody could tell (no address, no answer, an answer
// that cannot be read). Only these are forgiven, and only in the revocation step.
constexpr DWORD REVOCATION_UNKNOWN =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

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

// One WinVerifyTrust verification of a file handle: no UI, and no revocation check, which it
// leaves to the platform's settings (wine ignores them); the chain is checked below. Its state (the
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

// The signer's chain, built for code signing at `at` with the certificates that came with the
// signature (`store`) besides the system's; `flags` and `timeout_ms` as the engine takes them.
// 0 and the chain in `chain`, or the failed call's code.
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
// pass: each misses cases the others catch, and the engine's own codes come first. 0: passed.
std::uint32_t chain_refusal(PCCERT_CONTEXT certificate, FILETIME verified_at) {
    ChainHandle chain;
    if (const auto code =
            build_chain(certificate, verified_at, certificate->hCertStore, 0, 0, chain)) {
        return code;
    }
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

class Deadline {
  public:
    explicit Deadline(DWORD budget_ms) : end_(GetTickCount64() + budget_ms) {}
    DWORD remaining_ms() const {
        const ULONGLONG now = GetTickCount64();
        return now < end_ ? static_cast<DWORD>(end_ - now) : 0;
    }

  private:
    ULONGLONG end_;
};

// Believed only when `issuer` signed it and it is current: anything else says nothing.
bool speaks_for(PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer) {
    return CertCompareCertificateName(X509_ASN_ENCODING, &crl->pCrlInfo->Issuer,
                                      &issuer->pCertInfo->Subject) &&
           CryptVerifyCertificateSignatureEx(
               0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CRL,
               const_cast<CRL_CONTEXT*>(crl), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
               const_cast<CERT_CONTEXT*>(issuer), 0, nullptr) &&
           CertVerifyCRLTimeValidity(nullptr, crl->pCrlInfo) == 0;
}

// Whether the CRL at `url`, fetched within the deadline, lists `certificate` as revoked by
// `issuer`. Plain HTTP alone, where CAs publish CRLs (they are signed): a certificate's other
// kinds of address (a file, a directory server) are not followed.
bool revoked_at(const wchar_t* url, PCCERT_CONTEXT certificate, PCCERT_CONTEXT issuer,
                const Deadline& deadline) {
    const DWORD timeout = deadline.remaining_ms();
    if (timeout == 0 || _wcsnicmp(url, L"http://", 7) != 0) return false;
    void* fetched = nullptr;
    if (!CryptRetrieveObjectByUrlW(url, CONTEXT_OID_CRL, CRYPT_NO_AUTH_RETRIEVAL, timeout, &fetched,
                                   nullptr, nullptr, nullptr, nullptr)) {
        return false;
    }
    const CrlHandle crl(static_cast<PCCRL_CONTEXT>(fetched));
    PCRL_ENTRY entry = nullptr;
    return speaks_for(crl.get(), issuer) &&
           CertFindCertificateInCRL(certificate, crl.get(), 0, nullptr, &entry) && entry != nullptr;
}

// Whether a CRL that the certificate names, as the platform reads its distribution points, lists
// it as revoked by `issuer`. No address, no answer, or no answer to believe: not known revoked.
bool listed_as_revoked(PCCERT_CONTEXT certificate, PCCERT_CONTEXT issuer,
                       const Deadline& deadline) {
    const auto url_oid = URL_OID_CERTIFICATE_CRL_DIST_POINT;
    void* const subject = const_cast<CERT_CONTEXT*>(certificate);
    DWORD size = 0;
    if (!CryptGetObjectUrl(url_oid, subject, CRYPT_GET_URL_FROM_EXTENSION, nullptr, &size, nullptr,
                           nullptr, nullptr)) {
        return false;
    }
    std::vector<std::max_align_t> buffer(size / sizeof(std::max_align_t) + 1);
    auto* const urls = reinterpret_cast<CRYPT_URL_ARRAY*>(buffer.data());
    if (!CryptGetObjectUrl(url_oid, subject, CRYPT_GET_URL_FROM_EXTENSION, urls, &size, nullptr,
                           nullptr, nullptr)) {
        return false;
    }
    const std::span addresses(urls->rgwszUrl, urls->cUrl);
    return std::any_of(addresses.begin(), addresses.end(), [&](const wchar_t* url) {
        return revoked_at(url, certificate, issuer, deadline);
    });
}

// The revocation step's own references to what it reads, so that a run abandoned at the deadline
// never touches what the caller has since freed.
struct RevocationCheck {
    RevocationCheck(PCCERT_CONTEXT signer, FILETIME verified_at)
        : certificate(CertDuplicateCertificateContext(signer)),
          store(signer->hCertStore ? CertDuplicateStore(signer->hCertStore) : nullptr),
          verified_at(verified_at) {}

    const Deadline deadline{REVOCATION_BUDGET_MS};
    const CertificateHandle certificate;
    const StoreHandle store;
    const FILETIME verified_at;
    std::uint32_t refusal = 0;
};

// The chain built again with revocation checked at every link below the root, as Windows checks
// code signing: the engine's known "revoked" (or any other error but an unknown status) refuses.
// The engine's "good" is not taken on trust: wine's was seen to miss an intermediate and to
// reuse one certificate's cached status for another, so each link's CRLs are read here too.
std::uint32_t revocation_refusal(const RevocationCheck& check) {
    ChainHandle chain;
    constexpr DWORD flags =
        CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    const DWORD timeout = std::max<DWORD>(check.deadline.remaining_ms(), 1);  // 0: the default
    if (const auto code = build_chain(check.certificate.get(), check.verified_at, check.store.get(),
                                      flags, timeout, chain)) {
        return code;
    }
    if (const DWORD known = chain.get()->TrustStatus.dwErrorStatus & ~REVOCATION_UNKNOWN) {
        return known;
    }
    for (const CERT_SIMPLE_CHAIN* simple : std::span(chain.get()->rgpChain, chain.get()->cChain)) {
        const std::span links(simple->rgpElement, simple->cElement);
        for (std::size_t i = 0; i + 1 < links.size(); ++i) {
            if (listed_as_revoked(links[i]->pCertContext, links[i + 1]->pCertContext,
                                  check.deadline)) {
                return CERT_TRUST_IS_REVOKED;
            }
        }
    }
    return 0;
}

DWORD WINAPI run_revocation_check(void* parameter) {
    auto* const check = static_cast<RevocationCheck*>(parameter);
    // The engine loads cryptnet for each revocation check and unloads it when done, even while a
    // request it gave up on at its timeout still runs on the HTTP client's threads, whose late
    // callback into it then crashes the process (seen under wine). A reference of our own, never
    // released, keeps it mapped for as long as anything may call into it.
    LoadLibraryExW(L"cryptnet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    check->refusal = revocation_refusal(*check);
    return 0;
}

// The revocation step on a thread of its own, waited for until its deadline: an engine or a
// server that never answers cannot hold the installer. Past the deadline the status is unknown;
// the thread is left, with the references it reads, to end with the process.
std::uint32_t bounded_revocation_refusal(PCCERT_CONTEXT certificate, FILETIME verified_at) {
    auto check = std::make_unique<RevocationCheck>(certificate, verified_at);
    const ObjectHandle thread(
        CreateThread(nullptr, 0, run_revocation_check, check.get(), 0, nullptr));
    if (!thread.valid()) return 0;  // nobody could ask: unknown
    if (WaitForSingleObject(thread.get(), check->deadline.remaining_ms()) != WAIT_OBJECT_0) {
        check.release();  // still the thread's
        return 0;
    }
    return check->refusal;
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
    // Last: the network is asked only about the publisher's own, otherwise valid, chain.
    if (const auto code = bounded_revocation_refusal(certificate, signer->sftVerifyAsOf)) {
        return invalid_signature(code);
    }
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
