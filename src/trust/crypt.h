// The platform's certificate objects, each owned by a small type, and the platform's decoding of
// their encoded parts: the signer check never reads ASN.1 itself.
#pragma once

#include "shell/handles.h"
// After windows.h, which it needs. The chain parameters' URL retrieval timeout is one of the
// "extra" fields.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <wincrypt.h>

#include <cstdint>

namespace vorn {

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

struct MessageTraits {
    static HCRYPTMSG none() { return nullptr; }
    static void close(HCRYPTMSG message) { CryptMsgClose(message); }
};

using MessageHandle = UniqueHandle<MessageTraits>;

// The Authenticode signature embedded in the file at `path`, as the platform reads it: the
// certificates it carries and the signed message. False when it holds none the platform can read.
inline bool read_embedded_signature(const wchar_t* path, StoreHandle& carried,
                                    MessageHandle& signature) {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    const bool read = CryptQueryObject(
        CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr);
    if (!read) return false;
    carried.open(store);
    signature.open(message);
    return true;
}

struct CrlTraits {
    static PCCRL_CONTEXT none() { return nullptr; }
    static void close(PCCRL_CONTEXT crl) { CertFreeCRLContext(crl); }
};

using CrlHandle = UniqueHandle<CrlTraits>;

// A structure that CryptDecodeObjectEx allocated; freed with LocalFree.
template <class Structure>
struct DecodedTraits {
    static Structure* none() { return nullptr; }
    static void close(Structure* decoded) { LocalFree(decoded); }
};

template <class Structure>
using Decoded = UniqueHandle<DecodedTraits<Structure>>;

// The encoded `data` as the platform decodes it as `type`, or none when it cannot be read.
template <class Structure>
Decoded<Structure> decode(LPCSTR type, const BYTE* data, DWORD size) {
    Structure* decoded = nullptr;
    DWORD decoded_size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, data, size, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &decoded, &decoded_size)) {
        decoded = nullptr;
    }
    return Decoded<Structure>(decoded);
}

// A failed call's error as a code that is never 0, so it can never read as a pass.
inline std::uint32_t failure_code(DWORD error) {
    return error != ERROR_SUCCESS ? static_cast<std::uint32_t>(HRESULT_FROM_WIN32(error))
                                  : static_cast<std::uint32_t>(E_FAIL);
}

}  // namespace vorn
