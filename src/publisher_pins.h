// The publisher as this build pins it, for each program that checks installers (the stub, and
// the release gate that judges an installer as the stub will). The pins come from the header
// vorn_signer_pins (cmake/windows.cmake) writes for the build, so the stub and the gate built
// beside it carry the same pins.
#pragma once

#include <string_view>

#include VORN_INSTALLER_SIGNER_PINS
#include "trust/signer_name.h"

namespace vorn {

// The exact subject common name of the certificate that signs the product's installer. Empty:
// the downloaded installer is started unchecked.
inline constexpr std::string_view INSTALLER_SIGNER = signer_pins::COMMON_NAME;

// Whether whole subjects are pinned, not the common name alone.
inline constexpr bool PINS_WHOLE_SUBJECT = !signer_pins::CERTIFICATES.empty();

// What check_installer_signer is given; only meaningful when INSTALLER_SIGNER is not empty.
inline InstallerSigner pinned_publisher() {
    return InstallerSigner{signer_pins::COMMON_NAME, signer_pins::CERTIFICATES};
}

}  // namespace vorn
