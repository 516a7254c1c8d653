// Starting only what the publisher signed: the downloaded installer's Authenticode signature,
// checked on a handle that stays open until the installer has been started.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shell/handles.h"
// After windows.h, which it needs. The chain parameters' URL retrieval timeout is one of the
// "extra" fields.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <wincrypt.h>

#include <cstdint>

namespace vorn {

// Opens the completed installer at `path` into `held`, read-only and shared for reading alone, so
// that nobody can write, rename or delete it while `held` stays open, and checks that it carries a
// valid signature whose certificate chains, for code signing, to a trusted root and whose subject
// common name is exactly `expected_signer`, and that no certificate of the chain below its root is
// known to be revoked. Revocation alone fails soft: a status nobody could tell within
// REVOCATION_BUDGET_MS (no address, server down or silent, an answer the platform cannot read)
// lets the installer start.
//
// Returns nothing when the installer passed; `held` must then stay open until it has been started.
// Otherwise the file is already deleted and `held` closed, and the result is the message for the
// user: "安装器签名无效 (err=0x…)" with the code of the step that refused it, or
// "安装器签名者不符: NAME" for a valid signature by someone else.
std::optional<std::string> check_installer_signer(const std::string& path,
                                                  std::string_view expected_signer,
                                                  FileHandle& held);

// The rules of a chain that an engine may leave out, checked on every link of a chain the engine
// built and accepted: every certificate's extended key usage (every such extension, where it has
// any) allows code signing, and every certificate above each simple chain's first is a CA (basic
// constraints, CA true; a trusted root may say nothing) whose path length limit the CAs below it
// keep (self-issued ones not counted). An extension the platform cannot decode fails its rule.
// Returns 0 when all hold, else the code Windows' engine gives: CERT_TRUST_IS_NOT_VALID_FOR_USAGE
// or CERT_TRUST_INVALID_BASIC_CONSTRAINTS (CERT_E_CHAINING for a chain without links).
std::uint32_t link_refusal(const CERT_CHAIN_CONTEXT& chain);

// The longest the revocation step may hold the installer, in all, however many certificates and
// addresses there are and whatever the platform does with its own timeout.
constexpr unsigned long REVOCATION_BUDGET_MS = 3000;

}  // namespace vorn
