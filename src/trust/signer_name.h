// Whether the signer is the publisher: the whole subject of the publisher's certificate, or, in a
// build without that certificate, the subject's common name.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "trust/crypt.h"

namespace vorn {

// The publisher as the build names it. An empty common name: nothing is checked.
struct InstallerSigner {
    std::string_view common_name;  // the subject's common name, exactly
    // The publisher's certificates (DER): the signer must carry the whole subject of one of them
    // (several: a renewal under another subject pinned ahead). None: the common name alone.
    std::span<const std::string_view> certificates;
};

// Whether two encoded names, as the platform decodes them, are the same name: the same relative
// names in the same order, each with the same attributes in the same order, each the same type
// and value. A directory string counts as the same value in any of its encodings (printable,
// teletex, universal, UTF-8 or BMP string: a CA may encode a renewal's subject differently), so
// the values themselves must be equal, code unit for code unit (case and spaces too). A name
// the platform cannot decode is nobody's, and so is one with a null character (U+0000) anywhere
// in an encoded value, which could otherwise read like the name without it.
bool same_name(const CERT_NAME_BLOB& one, const CERT_NAME_BLOB& other);

// How the signer of a valid signature is named to the user when it is not the publisher: the
// whole subject as the platform formats it (common name first) when the build pins the
// publisher's subjects, else the common name; nothing when it is the publisher (its subject is
// one of those pinned, or, without them, its common name is the publisher's).
std::optional<std::string> signer_mismatch(PCCERT_CONTEXT signer, const InstallerSigner& publisher);

}  // namespace vorn
