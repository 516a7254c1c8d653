// The publisher as this build pins it, for each program that checks installers (the stub, and
// the release gate that judges an installer as the stub will). The values come from the
// definitions vorn_pin_installer_signer (cmake/windows.cmake) gives the program's target, so
// the stub and the gate built beside it carry the same pins.
#pragma once

#include <string_view>

#include "trust/signer_name.h"

namespace vorn {

// The exact subject common name of the certificate that signs the product's installer. Empty:
// the downloaded installer is started unchecked.
inline constexpr std::string_view INSTALLER_SIGNER = VORN_INSTALLER_SIGNER;

// The publisher's code-signing certificate (DER), whose whole subject the installer's signer must
// carry. Empty: the common name alone is checked.
inline constexpr char INSTALLER_SIGNER_CERT[] =
#include VORN_INSTALLER_SIGNER_CERT
    ;

// Whether the whole subject of a certificate is pinned, not the common name alone.
inline constexpr bool PINS_WHOLE_SUBJECT = sizeof INSTALLER_SIGNER_CERT > 1;

// What check_installer_signer is given; only meaningful when INSTALLER_SIGNER is not empty.
inline InstallerSigner pinned_publisher() {
    return InstallerSigner{INSTALLER_SIGNER, std::string_view(INSTALLER_SIGNER_CERT,
                                                              sizeof INSTALLER_SIGNER_CERT - 1)};
}

}  // namespace vorn
