#include "trust/signature.h"

namespace vorn {
namespace {

// Nobody to ask: WinVerifyTrust never shows anything.
const HWND NO_INTERACTIVE_USER = static_cast<HWND>(INVALID_HANDLE_VALUE);

}  // namespace

TrustVerification::TrustVerification(HANDLE file, const wchar_t* path) {
    file_.cbStruct = sizeof file_;
    file_.pcwszFilePath = path;
    file_.hFile = file;
    data_.cbStruct = sizeof data_;
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    data_.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    result_ = static_cast<std::uint32_t>(WinVerifyTrust(NO_INTERACTIVE_USER, &action_, &data_));
}

TrustVerification::~TrustVerification() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(NO_INTERACTIVE_USER, &action_, &data_);
}

const CRYPT_PROVIDER_SGNR* TrustVerification::signer() const {
    CRYPT_PROVIDER_DATA* const provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
    return provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
}

}  // namespace vorn
