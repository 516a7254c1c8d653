#include "trust/signer_name.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "text.h"

namespace vorn {
namespace {

// The string types a directory string (X.520) may be encoded as.
bool is_directory_string(DWORD type) {
    switch (type) {
        case CERT_RDN_PRINTABLE_STRING:
        case CERT_RDN_TELETEX_STRING:
        case CERT_RDN_UNIVERSAL_STRING:
        case CERT_RDN_UTF8_STRING:
        case CERT_RDN_BMP_STRING:
            return true;
        default:
            return false;
    }
}

// A directory string's value in UTF-16, as the platform decoded it, without the one terminator
// that it counts in for some encodings (wine does for UTF-8 strings). Names that hold a null
// character in any encoded value never get this far (holds_null), so a null here is that
// terminator; another one left means the text cannot be trusted to be the value.
std::optional<std::wstring_view> string_value(const CERT_RDN_VALUE_BLOB& value) {
    std::wstring_view text(reinterpret_cast<const wchar_t*>(value.pbData),
                           value.cbData / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0') text.remove_suffix(1);
    if (text.find(L'\0') != std::wstring_view::npos) return std::nullopt;
    return text;
}

// The size of one character of a value as X509_NAME decodes it: the string types of 8-bit
// characters keep their encoded bytes; a BMP string (and a UTF-8 one, decoded) comes as 16-bit
// characters; a universal string as 32-bit ones. 0 for a value that is no string.
std::size_t character_size(DWORD type) {
    switch (type) {
        case CERT_RDN_NUMERIC_STRING:
        case CERT_RDN_PRINTABLE_STRING:
        case CERT_RDN_TELETEX_STRING:
        case CERT_RDN_VIDEOTEX_STRING:
        case CERT_RDN_IA5_STRING:
        case CERT_RDN_GRAPHIC_STRING:
        case CERT_RDN_VISIBLE_STRING:
        case CERT_RDN_GENERAL_STRING:
            return 1;
        case CERT_RDN_BMP_STRING:
        case CERT_RDN_UTF8_STRING:
            return 2;
        case CERT_RDN_UNIVERSAL_STRING:
            return 4;
        default:
            return 0;
    }
}

// Calls `visit` with every attribute of a decoded name.
template <class Visit>
void for_each_attribute(CERT_NAME_INFO& name, Visit visit) {
    for (CERT_RDN& part : std::span(name.rgRDN, name.cRDN)) {
        for (CERT_RDN_ATTR& attribute : std::span(part.rgRDNAttr, part.cRDNAttr)) visit(attribute);
    }
}

bool ends_with_null(const CERT_RDN_ATTR& attribute) {
    const std::size_t size = character_size(attribute.dwValueType & CERT_RDN_TYPE_MASK);
    const DWORD length = attribute.Value.cbData;
    return size != 0 && length >= size &&
           std::all_of(attribute.Value.pbData + length - size, attribute.Value.pbData + length,
                       [](BYTE byte) { return byte == 0; });
}

bool holds_null_character(const CERT_RDN_ATTR& attribute) {
    const std::size_t size = character_size(attribute.dwValueType & CERT_RDN_TYPE_MASK);
    if (size == 0) return false;
    const std::span value(attribute.Value.pbData, attribute.Value.cbData);
    for (std::size_t at = 0; at + size <= value.size(); at += size) {
        const auto character = value.subspan(at, size);
        if (std::all_of(character.begin(), character.end(), [](BYTE byte) { return byte == 0; })) {
            return true;
        }
    }
    return false;
}

// The platform's encoding of a decoded name, or nothing.
std::optional<std::vector<BYTE>> encode_name(const CERT_NAME_INFO& name) {
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_NAME, &name, 0, nullptr, nullptr, &size)) {
        return std::nullopt;
    }
    std::vector<BYTE> encoded(size);
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_NAME, &name, 0, nullptr, encoded.data(),
                             &size)) {
        return std::nullopt;
    }
    encoded.resize(size);
    return encoded;
}

// Whether `name` encodes again, by the platform, to exactly `encoded`: then each value holds
// exactly the characters that were encoded, no terminator more.
bool encodes_to(CERT_NAME_INFO& name, const CERT_NAME_BLOB& encoded) {
    auto again = encode_name(name);
    if (!again) {
        // A CA's printable string may hold a character that the encoder refuses unless told not
        // to check (wine's encoder refuses the flag itself).
        for_each_attribute(name, [](CERT_RDN_ATTR& attribute) {
            attribute.dwValueType |= CERT_RDN_DISABLE_CHECK_TYPE_FLAG;
        });
        again = encode_name(name);
        for_each_attribute(name, [](CERT_RDN_ATTR& attribute) {
            attribute.dwValueType &= ~static_cast<DWORD>(CERT_RDN_DISABLE_CHECK_TYPE_FLAG);
        });
    }
    return again && std::equal(again->begin(), again->end(), encoded.pbData,
                               encoded.pbData + encoded.cbData);
}

// Whether any value of the encoded name holds a null character (U+0000), anywhere: such a name
// can read like another that it is not (O = "Acme\0" decodes to the text "Acme" and a
// terminator), so it is nobody's. Judged on the values as encoded, as X509_NAME decodes them,
// whatever terminator the platform counts in: the decoded name must encode again to the same
// bytes, as it is (nothing counted in) or with one null character less at the end of each value
// that ends with one (a terminator counted in). A name that does neither cannot be read.
bool holds_null(const CERT_NAME_BLOB& encoded) {
    const auto name = decode<CERT_NAME_INFO>(X509_NAME, encoded.pbData, encoded.cbData);
    if (!name.valid()) return true;
    if (!encodes_to(*name.get(), encoded)) {
        bool any = false;
        for_each_attribute(*name.get(), [&](CERT_RDN_ATTR& attribute) {
            if (!ends_with_null(attribute)) return;
            attribute.Value.cbData -=
                static_cast<DWORD>(character_size(attribute.dwValueType & CERT_RDN_TYPE_MASK));
            any = true;
        });
        if (!any || !encodes_to(*name.get(), encoded)) return true;
    }
    bool null = false;
    for_each_attribute(*name.get(), [&](const CERT_RDN_ATTR& attribute) {
        null = null || holds_null_character(attribute);
    });
    return null;
}

bool same_value(const CERT_RDN_ATTR& one, const CERT_RDN_ATTR& other) {
    const DWORD one_type = one.dwValueType & CERT_RDN_TYPE_MASK;
    const DWORD other_type = other.dwValueType & CERT_RDN_TYPE_MASK;
    if (is_directory_string(one_type) && is_directory_string(other_type)) {
        const auto one_text = string_value(one.Value);
        const auto other_text = string_value(other.Value);
        return one_text && other_text && *one_text == *other_text;
    }
    const std::span one_value(one.Value.pbData, one.Value.cbData);
    const std::span other_value(other.Value.pbData, other.Value.cbData);
    return one_type == other_type &&
           std::equal(one_value.begin(), one_value.end(), other_value.begin(), other_value.end());
}

bool same_attribute(const CERT_RDN_ATTR& one, const CERT_RDN_ATTR& other) {
    return std::strcmp(one.pszObjId, other.pszObjId) == 0 && same_value(one, other);
}

bool same_relative_name(const CERT_RDN& one, const CERT_RDN& other) {
    const std::span one_attributes(one.rgRDNAttr, one.cRDNAttr);
    const std::span other_attributes(other.rgRDNAttr, other.cRDNAttr);
    return std::equal(one_attributes.begin(), one_attributes.end(), other_attributes.begin(),
                      other_attributes.end(), same_attribute);
}

// The platform's decoding of a name with every string value as UTF-16, whatever its encoding.
Decoded<CERT_NAME_INFO> decode_name(const CERT_NAME_BLOB& name) {
    return decode<CERT_NAME_INFO>(X509_UNICODE_NAME, name.pbData, name.cbData);
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

// The subject as the platform formats it for people, most specific first: "CN=…, O=…, C=…".
WideString subject_text(const CERT_NAME_BLOB& subject) {
    auto* const name = const_cast<CERT_NAME_BLOB*>(&subject);
    constexpr DWORD format = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, name, format, nullptr, 0);
    WideString text(size, L'\0');  // size counts the terminator; it is at least 1
    CertNameToStrW(X509_ASN_ENCODING, name, format, text.data(), size);
    text.resize(size > 0 ? size - 1 : 0);
    return text;
}

// Whether the signer carries the whole subject of one of the publisher's certificates. A
// certificate the platform cannot read pins nobody.
bool carries_pinned_subject(const CERT_INFO& signer,
                            std::span<const std::string_view> pinned_certificates) {
    return std::any_of(
        pinned_certificates.begin(), pinned_certificates.end(), [&](std::string_view encoded) {
            const CertificateHandle pinned(CertCreateCertificateContext(
                X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(encoded.data()),
                static_cast<DWORD>(encoded.size())));
            return pinned.valid() && same_name(pinned.get()->pCertInfo->Subject, signer.Subject);
        });
}

}  // namespace

bool same_name(const CERT_NAME_BLOB& one, const CERT_NAME_BLOB& other) {
    if (holds_null(one) || holds_null(other)) return false;
    const auto one_name = decode_name(one);
    const auto other_name = decode_name(other);
    if (!one_name.valid() || !other_name.valid()) return false;
    const std::span one_parts(one_name.get()->rgRDN, one_name.get()->cRDN);
    const std::span other_parts(other_name.get()->rgRDN, other_name.get()->cRDN);
    return std::equal(one_parts.begin(), one_parts.end(), other_parts.begin(), other_parts.end(),
                      same_relative_name);
}

std::optional<std::string> signer_mismatch(PCCERT_CONTEXT signer,
                                           const InstallerSigner& publisher) {
    if (!publisher.certificates.empty()) {
        if (carries_pinned_subject(*signer->pCertInfo, publisher.certificates)) {
            return std::nullopt;
        }
        const WideString subject = subject_text(signer->pCertInfo->Subject);
        return from_wide(subject.empty() ? subject_common_name(signer) : subject);
    }
    const WideString name = subject_common_name(signer);
    if (from_wide_strict(name) == publisher.common_name) return std::nullopt;
    return from_wide(name);
}

}  // namespace vorn
