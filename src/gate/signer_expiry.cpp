#include "gate/signer_expiry.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "trust/crypt.h"

namespace vorn {
namespace {

constexpr std::int64_t FILETIME_UNITS_PER_SECOND = 10'000'000;

std::int64_t seconds_of(const FILETIME& time) {
    const std::uint64_t units = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    return static_cast<std::int64_t>(units / FILETIME_UNITS_PER_SECOND);
}

std::string two_digits(WORD value) {
    return std::string{static_cast<char>('0' + value / 10 % 10),
                       static_cast<char>('0' + value % 10)};
}

// "YYYY-MM-DD HH:MM UTC".
std::string utc_text(const FILETIME& time) {
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&time, &utc)) return "(an unreadable date)";
    return std::to_string(utc.wYear) + "-" + two_digits(utc.wMonth) + "-" + two_digits(utc.wDay) +
           " " + two_digits(utc.wHour) + ":" + two_digits(utc.wMinute) + " UTC";
}

// Whether the signer `index` of `signature` carries a timestamp. Attributes that cannot be read
// count as none: the warning then says more, never less.
bool carries_timestamp(HCRYPTMSG signature, DWORD index) {
    DWORD size = 0;
    if (!CryptMsgGetParam(signature, CMSG_SIGNER_UNAUTH_ATTR_PARAM, index, nullptr, &size)) {
        return false;  // CRYPT_E_ATTRIBUTES_MISSING when it has none
    }
    std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);  // aligned
    if (!CryptMsgGetParam(signature, CMSG_SIGNER_UNAUTH_ATTR_PARAM, index, buffer.data(), &size)) {
        return false;
    }
    const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    for (DWORD i = 0; i < attributes->cAttr; ++i) {
        const char* type = attributes->rgAttr[i].pszObjId;
        if (type != nullptr && (std::strcmp(type, szOID_RFC3161_counterSign) == 0 ||
                                std::strcmp(type, szOID_RSA_counterSign) == 0)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<SignerExpiry> read_signer_expiry(const wchar_t* path) {
    StoreHandle carried;
    MessageHandle signature;
    if (!read_embedded_signature(path, carried, signature)) return std::nullopt;
    PCCERT_CONTEXT first = nullptr;
    DWORD index = 0;
    if (!CryptMsgGetAndVerifySigner(signature.get(), 0, nullptr,
                                    CMSG_SIGNER_ONLY_FLAG | CMSG_USE_SIGNER_INDEX_FLAG, &first,
                                    &index)) {
        return std::nullopt;
    }
    const CertificateHandle signer(first);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const FILETIME& end = signer.get()->pCertInfo->NotAfter;
    return SignerExpiry{seconds_of(end) - seconds_of(now),
                        carries_timestamp(signature.get(), index), utc_text(end)};
}

}  // namespace vorn
