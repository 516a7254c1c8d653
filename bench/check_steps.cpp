// Where the signer check's time goes: the steps of src/trust, the same code the stub links, run
// one after the other on a signed file and each timed, with the DLLs they load timed apart first.
// With --window a window is shown and closed first and with --fetch the file is downloaded as the
// stub does (raw_loop.h), so the process holds what the stub's holds when its check starts (the
// display driver, WinHTTP, its TLS and certificate code in use); --launch then starts it through
// the shell, as the stub does, timed too. A second pass repeats
// the steps in the same process: what is left there is their own work, the rest of the first pass
// the platform's first use (its DLLs' start-up, caches being filled).
//
//   check_steps.exe [--window] [--fetch HOST PORT PATH] [--launch] FILE SIGNER [CERT_DER]
//
// Prints one JSON line: {"window_ms":...,"fetch_ms":...,"load_ms":...,"passes":[{"step0_ms":...,
// "verify_ms":...,"rules_ms":...,"pin_ms":...,"revocation_ms":...,"result":...}, {...}],
// "revocation_parts":{"thread_ms":...,"chain_ms":...,"addresses_ms":...},"launch_ms":...}; exit
// code 0 when both passes accepted the file (and the shell started it).
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <span>
#include <string>

#include "raw_loop.h"

#include "text.h"
#include "trust/carried_chain.h"
#include "trust/chain_rules.h"
#include "trust/crypt.h"
#include "trust/revocation.h"
#include "trust/signature.h"
#include "trust/signer_name.h"

namespace {

class Stopwatch {
  public:
    Stopwatch() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    // Milliseconds since the last lap (or the start).
    double lap() {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const double ms = 1000.0 * static_cast<double>(now.QuadPart - start_.QuadPart) /
                          static_cast<double>(frequency_.QuadPart);
        start_ = now;
        return ms;
    }

  private:
    LARGE_INTEGER frequency_;
    LARGE_INTEGER start_;
};

struct Pass {
    double step0_ms = 0, verify_ms = 0, rules_ms = 0, pin_ms = 0, revocation_ms = 0;
    std::uint32_t result = 0;
};

// The steps in the order signer_check.cpp runs them, each timed; the first refusal ends it.
Pass run_steps(HANDLE file, const wchar_t* path, const vorn::InstallerSigner& publisher) {
    Pass pass;
    Stopwatch watch;
    pass.result = vorn::missing_issuer_refusal(path);
    pass.step0_ms = watch.lap();
    if (pass.result != 0) return pass;
    const vorn::TrustVerification trust(file, path);
    pass.verify_ms = watch.lap();
    if ((pass.result = trust.result()) != 0) return pass;
    const CRYPT_PROVIDER_SGNR* const signer = trust.signer();
    if (signer == nullptr || signer->csCertChain == 0) {
        pass.result = static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT);
        return pass;
    }
    const PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
    watch.lap();
    pass.result = vorn::chain_refusal(certificate, signer->sftVerifyAsOf);
    pass.rules_ms = watch.lap();
    if (pass.result != 0) return pass;
    const bool other = vorn::signer_mismatch(certificate, publisher).has_value();
    pass.pin_ms = watch.lap();
    if (other) {
        pass.result = static_cast<std::uint32_t>(CERT_E_WRONG_USAGE);
        return pass;
    }
    pass.result = vorn::bounded_revocation_refusal(certificate, signer->sftVerifyAsOf);
    pass.revocation_ms = watch.lap();
    return pass;
}

// A window shown, painted and closed, as the stub's is before its check: the display driver and
// what it loads are then in use, as in the stub.
void show_and_close_window() {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"vornbenchsteps";
    if (RegisterClassExW(&window_class) == 0) return;
    const HWND window =
        CreateWindowExW(0, window_class.lpszClassName, L"steps", WS_CAPTION | WS_SYSMENU, 0, 0, 460,
                        210, nullptr, nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) return;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    DestroyWindow(window);
}

// The revocation step's parts, each timed alone after the passes (warm): a thread started and
// waited for, as the step runs on one; the chain built with revocation checked, as the step asks
// the engine; the revocation addresses read from each link, as the step reads them itself.
struct RevocationParts {
    double thread_ms = 0, chain_ms = 0, addresses_ms = 0;
};

DWORD WINAPI do_nothing(void*) {
    return 0;
}

RevocationParts time_revocation_parts(PCCERT_CONTEXT certificate, FILETIME verified_at) {
    RevocationParts parts;
    Stopwatch watch;
    const HANDLE thread = CreateThread(nullptr, 0, do_nothing, nullptr, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    parts.thread_ms = watch.lap();
    vorn::ChainHandle chain;
    const DWORD flags =
        CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    const bool built = vorn::build_chain(certificate, verified_at, certificate->hCertStore, flags,
                                         3000, chain) == 0;
    parts.chain_ms = watch.lap();
    if (!built) return parts;
    for (DWORD c = 0; c < chain.get()->cChain; ++c) {
        const CERT_SIMPLE_CHAIN* const simple = chain.get()->rgpChain[c];
        for (DWORD i = 0; i + 1 < simple->cElement; ++i) {
            DWORD size = 0;
            CryptGetObjectUrl(URL_OID_CERTIFICATE_CRL_DIST_POINT,
                              const_cast<CERT_CONTEXT*>(simple->rgpElement[i]->pCertContext),
                              CRYPT_GET_URL_FROM_EXTENSION, nullptr, &size, nullptr, nullptr,
                              nullptr);
        }
    }
    parts.addresses_ms = watch.lap();
    return parts;
}

std::string read_file(const wchar_t* path) {
    std::string data;
    FILE* f = _wfopen(path, L"rb");
    if (!f) return data;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, f)) > 0;) data.append(buffer, got);
    fclose(f);
    return data;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* fetch[3] = {};
    bool launch = false, window = false;
    int next = 1;
    for (; next < argc && std::wcsncmp(argv[next], L"--", 2) == 0; ++next) {
        if (std::wcscmp(argv[next], L"--launch") == 0) {
            launch = true;
        } else if (std::wcscmp(argv[next], L"--window") == 0) {
            window = true;
        } else if (std::wcscmp(argv[next], L"--fetch") == 0 && next + 3 < argc) {
            for (const wchar_t*& part : fetch) part = argv[++next];
        } else {
            next = argc;  // an unknown flag: the usage below
        }
    }
    if (argc - next < 2) {
        std::fprintf(stderr,
                     "usage: check_steps.exe [--window] [--fetch HOST PORT PATH] "
                     "[--launch] FILE SIGNER [CERT_DER]\n");
        return 2;
    }
    const wchar_t* const path = argv[next];
    const std::string signer_name = vorn::from_wide(argv[next + 1]);
    const std::string certificate = argc > next + 2 ? read_file(argv[next + 2]) : std::string();
    const std::string_view pinned[] = {certificate};
    const vorn::InstallerSigner publisher{
        signer_name, certificate.empty() ? std::span<const std::string_view>()
                                         : std::span<const std::string_view>(pinned)};

    Stopwatch watch;
    if (window) show_and_close_window();
    const double window_ms = watch.lap();
    if (fetch[0] != nullptr) {
        const auto port = static_cast<INTERNET_PORT>(std::wcstoul(fetch[1], nullptr, 10));
        if (raw_fetch(fetch[0], port, fetch[2], path) != 0) return 2;
    }
    const double fetch_ms = watch.lap();
    for (const wchar_t* dll : {L"crypt32.dll", L"wintrust.dll"}) {
        LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    const double load_ms = watch.lap();

    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    std::printf("{\"window_ms\":%.3f,\"fetch_ms\":%.3f,\"load_ms\":%.3f,\"passes\":[", window_ms,
                fetch_ms, load_ms);
    bool accepted = true;
    for (int i = 0; i < 2; ++i) {
        const Pass pass = run_steps(file, path, publisher);
        accepted = accepted && pass.result == 0;
        std::printf(
            "%s{\"step0_ms\":%.3f,\"verify_ms\":%.3f,\"rules_ms\":%.3f,\"pin_ms\":%.3f,"
            "\"revocation_ms\":%.3f,\"result\":%u}",
            i ? "," : "", pass.step0_ms, pass.verify_ms, pass.rules_ms, pass.pin_ms,
            pass.revocation_ms, pass.result);
    }
    RevocationParts parts;
    {
        const vorn::TrustVerification trust(file, path);
        const CRYPT_PROVIDER_SGNR* const signer = trust.signer();
        if (trust.result() == 0 && signer != nullptr && signer->csCertChain != 0) {
            parts = time_revocation_parts(signer->pasCertChain[0].pCert, signer->sftVerifyAsOf);
        }
    }
    std::printf(
        "],\"revocation_parts\":{\"thread_ms\":%.3f,\"chain_ms\":%.3f,"
        "\"addresses_ms\":%.3f}",
        parts.thread_ms, parts.chain_ms, parts.addresses_ms);
    double launch_ms = 0;
    if (launch) {
        watch.lap();
        const auto started = reinterpret_cast<INT_PTR>(
            ShellExecuteW(nullptr, L"open", path, nullptr, nullptr, SW_SHOWNORMAL));
        launch_ms = watch.lap();
        accepted = accepted && started > 32;
    }
    std::printf(",\"launch_ms\":%.3f}\n", launch_ms);
    CloseHandle(file);
    return accepted ? 0 : 1;
}
