// vorn-installer-gate: the release gate. Judges an installer file exactly as the stub built beside
// it will: the same check (src/trust, the same library), with the same pins
// (src/publisher_pins.h), on the same platform calls. Prints "passes", or the refusal the user
// would see in the stub's error box, and exits 0 or 1; 2 for a wrong command line or a build
// that checks nothing. The file is only read.
//
//     vorn-installer-gate.exe INSTALLER
#include <windows.h>

#include <optional>
#include <string>

#include "gate/console.h"
#include "gate/signer_expiry.h"
#include "publisher_pins.h"
#include "shell/dll_search.h"
#include "text.h"
#include "trust/signer_check.h"

namespace vorn {
namespace {

constexpr int PASSES = 0;
constexpr int REFUSED = 1;
constexpr int CANNOT_JUDGE = 2;

constexpr std::string_view USAGE =
    "usage: vorn-installer-gate.exe INSTALLER\n"
    "Checks INSTALLER as this build's stub checks the installer it downloads, with the same pins.\n"
    "Prints \"passes\" (exit 0) or the stub's refusal (exit 1); exit 2: this usage.\n";

int cannot_judge(std::string_view why) {
    write_text(STD_ERROR_HANDLE, why);
    return CANNOT_JUDGE;
}

// What a passing installer's signature says about the days ahead, on stderr.
void tell_expiry(const std::string& path) {
    const std::optional<SignerExpiry> expiry = read_signer_expiry(to_wide(path).c_str());
    if (!expiry) {
        write_text(STD_ERROR_HANDLE,
                   "warning: the signer's certificate could not be read for its end of validity\n");
        return;
    }
    if (const auto notice = expiry_notice(*expiry)) write_text(STD_ERROR_HANDLE, *notice + "\n");
}

int judge(const std::string& path) {
    // Read-only and shared for reading alone, as the stub holds its download while it checks
    // it: the file checked stays the file read for the expiry.
    const FileHandle held(CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held.valid()) {
        return cannot_judge("cannot open '" + path + "' (err=" + std::to_string(GetLastError()) +
                            ")\n");
    }
    if (const auto refusal = check_installer_signer(path, pinned_publisher(), held.get())) {
        write_text(STD_OUTPUT_HANDLE, *refusal + "\n");
        return REFUSED;  // the file is left as it is: the stub would delete it, the gate never
    }
    write_text(STD_OUTPUT_HANDLE, "passes\n");
    tell_expiry(path);
    return PASSES;
}

int run(int argc, wchar_t** argv) {
    if (const DWORD error = restrict_dll_search(); error != ERROR_SUCCESS) {
        return cannot_judge("cannot limit DLL loading to System32 (err=" + std::to_string(error) +
                            "): refusing to load the platform's trust DLLs\n");
    }
    const std::optional<std::string> path =
        argc == 2 ? from_wide_strict(argv[1]) : std::optional<std::string>();
    if (!path || path->empty() || path->front() == '-') return cannot_judge(USAGE);
    if constexpr (INSTALLER_SIGNER.empty()) {
        return cannot_judge(
            "this build pins no installer signer: its stub starts any installer, unchecked, so "
            "there is nothing to judge. Configure it with VORN_INSTALLER_SIGNER_CERT.\n");
    }
    if constexpr (!PINS_WHOLE_SUBJECT) {
        write_text(STD_ERROR_HANDLE,
                   "note: this build pins the signer's common name alone (no "
                   "VORN_INSTALLER_SIGNER_CERT): any certificate of that name passes\n");
    }
    return judge(*path);
}

}  // namespace
}  // namespace vorn

int wmain(int argc, wchar_t** argv) {
    // Through TerminateProcess, as the stub ends: nothing of the check's outlives the verdict
    // (a chain build or the revocation step may leave a thread behind inside the platform, and
    // ExitProcess would run DLL detach code that can wait for a lock such a thread holds). The
    // verdict is written through already.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(vorn::run(argc, argv)));
    __builtin_trap();
}
