#include "trust/revocation.h"

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <span>
#include <vector>

#include "trust/chain_rules.h"

namespace vorn {
namespace {

// What a revocation check may leave open: nobody could tell (no address, no answer, an answer
// that cannot be read). Only these are forgiven, and only in the revocation step.
constexpr DWORD REVOCATION_UNKNOWN =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

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

}  // namespace

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

}  // namespace vorn
