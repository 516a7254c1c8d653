// Starting only what the publisher signed: the downloaded installer's Authenticode signature,
// checked on a handle that stays open until the installer has been started. Each step lives in a
// file of its own: carried_chain (0), signature (1), chain_rules (2 and 3), signer_name (4),
// revocation (5).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "trust/signer_name.h"

namespace vorn {

// Checks the completed installer at `path`, which `held` has open for reading and shared for
// reading alone (so that nobody can change it while it is checked and until it has been started):
// it must carry a valid signature whose certificate chains, for code signing, to a trusted root,
// whose signer is `publisher` (the whole subject of its certificate, or the common name alone
// when the build has no certificate), and no certificate of the chain below its root may be
// known to be revoked. Revocation alone fails soft: a status nobody could tell within
// REVOCATION_BUDGET_MS (no address, server down or silent, an answer the platform cannot read)
// lets the installer start.
//
// Returns nothing when the installer passed. Otherwise the result is the message for the user:
// "安装器签名无效 (err=0x…)" with the code of the step that refused it, or "安装器签名者不符: …"
// naming the signer of a valid signature by someone else. Either way the check only reads the
// file: what becomes of a refused one is the caller's decision (the stub deletes it through a
// handle, the release gate leaves the release engineer's file as it is).
std::optional<std::string> check_installer_signer(const std::string& path,
                                                  const InstallerSigner& publisher, HANDLE held);

}  // namespace vorn
