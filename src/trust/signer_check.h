// Starting only what the publisher signed: the downloaded installer's Authenticode signature,
// checked on a handle that stays open until the installer has been started. Each step lives in a
// file of its own: carried_chain (0), signature (1), chain_rules (2 and 3), signer_name (4),
// revocation (5).
#pragma once

#include <optional>
#include <string>

#include "shell/handles.h"
#include "trust/signer_name.h"

namespace vorn {

// Opens the completed installer at `path` into `held`, read-only and shared for reading alone, so
// that nobody can write, rename or delete it while `held` stays open, and checks that it carries a
// valid signature whose certificate chains, for code signing, to a trusted root, whose signer is
// `publisher` (the whole subject of its certificate, or the common name alone when the build has
// no certificate), and that no certificate of the chain below its root is known to be revoked.
// Revocation alone fails soft: a status nobody could tell within REVOCATION_BUDGET_MS (no
// address, server down or silent, an answer the platform cannot read) lets the installer start.
//
// Returns nothing when the installer passed; `held` must then stay open until it has been started.
// Otherwise the result is the message for the user: "安装器签名无效 (err=0x…)" with the code of
// the step that refused it, or "安装器签名者不符: …" naming the signer of a valid signature by
// someone else. Either way the check only reads the file: what becomes of a refused one is the
// caller's decision (the stub deletes it, the release gate leaves the release engineer's file as
// it is), and `held` still holds it when it could be opened.
std::optional<std::string> check_installer_signer(const std::string& path,
                                                  const InstallerSigner& publisher,
                                                  FileHandle& held);

// A refused installer at `path`, held by `held` as check_installer_signer left it: closed and
// deleted, so that a file that is not the publisher's never stays behind with the installer's
// name.
void delete_refused_installer(const std::string& path, FileHandle& held);

}  // namespace vorn
