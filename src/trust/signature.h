// The installer's Authenticode signature, as WinVerifyTrust verifies it.
#pragma once

#include <cstdint>

#include "trust/crypt.h"
// After wincrypt.h, which they need.
#include <softpub.h>
#include <wintrust.h>

namespace vorn {

// One WinVerifyTrust verification of an open file: the file is signed and unchanged since. No
// UI, no revocation check (which it leaves to the platform's settings, and wine ignores; the
// revocation step asks itself) and no network (WTD_CACHE_ONLY_URL_RETRIEVAL, the one flag
// documented to keep it off the network; there is none for issuers alone): by the time it runs,
// step 0 has found the signer's chain complete, with its root in the machine's store (the
// platform's root update, left on there, installs a root it fetches), so it holds back nothing
// the publisher's chain needs. Its state (the signer, its certificates) lives until the
// close action in the destructor.
class TrustVerification {
  public:
    TrustVerification(HANDLE file, const wchar_t* path);
    TrustVerification(const TrustVerification&) = delete;
    TrustVerification& operator=(const TrustVerification&) = delete;
    ~TrustVerification();

    // ERROR_SUCCESS, or the code WinVerifyTrust refused the file with.
    std::uint32_t result() const { return result_; }

    // The primary signer, or null.
    const CRYPT_PROVIDER_SGNR* signer() const;

  private:
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
    std::uint32_t result_ = 0;
};

}  // namespace vorn
