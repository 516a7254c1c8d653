#include "download/proxy_windows.h"

#include <windows.h>

#include <memory>

#include "download/transfer.h"
#include "shell/handles.h"
#include "text.h"

namespace vorn {
namespace {

// The text the platform allocated for us, freed.
std::string take_global_text(LPWSTR text) {
    if (text == nullptr) return {};
    std::string utf8 = from_wide(text);
    GlobalFree(text);
    return utf8;
}

// One detection or one script, with what it found. Past its limit the thread is left with it, to
// end with the process.
struct Discovery {
    WideString address;
    WideString script_address;  // empty: detection
    DWORD limit_ms = 0;
    std::optional<DiscoveredProxy> found;
};

std::optional<DiscoveredProxy> ask_platform(const Discovery& job) {
    // The script is fetched directly: a proxy named in the settings must not decide how the
    // settings are found. The session's own timeouts bound the fetch where the platform honours
    // them; the caller's wait bounds everything else.
    const InternetHandle session(WinHttpOpen(to_wide(USER_AGENT).c_str(),
                                             WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.valid()) return std::nullopt;
    const int limit = static_cast<int>(job.limit_ms);
    WinHttpSetTimeouts(session.get(), limit, limit, limit, limit);

    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (job.script_address.empty()) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = job.script_address.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;  // a script server inside the company may ask
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session.get(), job.address.c_str(), &options, &info)) {
        return std::nullopt;
    }
    DiscoveredProxy answer{info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                           take_global_text(info.lpszProxy),
                           take_global_text(info.lpszProxyBypass)};
    if (!answer.named && info.dwAccessType != WINHTTP_ACCESS_TYPE_NO_PROXY) return std::nullopt;
    return answer;
}

// WinHTTP loads these by name when it detects (the adapters, DHCP). Loaded here from System32
// first, and kept, no copy elsewhere can answer that load: wine's loader does not apply the
// process's DLL directories to the loads its own DLLs delay (a planted iphlpapi was loaded from
// the exe's folder).
void load_detection_dlls() {
    for (const wchar_t* name : {L"iphlpapi.dll", L"dhcpcsvc.dll"}) {
        LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

DWORD WINAPI run_discovery(void* parameter) {
    auto* const job = static_cast<Discovery*>(parameter);
    if (job->script_address.empty()) load_detection_dlls();
    job->found = ask_platform(*job);
    return 0;
}

class WindowsProxyPlatform final : public ProxyPlatform {
  public:
    std::optional<UserProxySettings> user_settings() override {
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
        if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return std::nullopt;
        UserProxySettings settings;
        settings.auto_detect = config.fAutoDetect != FALSE;
        settings.script_address = take_global_text(config.lpszAutoConfigUrl);
        settings.proxy = take_global_text(config.lpszProxy);
        settings.bypass = take_global_text(config.lpszProxyBypass);
        return settings;
    }

    // On a thread of its own: the platform's WPAD look-ups and script download have limits of
    // their own that a silent server outlasts, and its script engine has none.
    std::optional<DiscoveredProxy> discover(std::string_view address, bool detect,
                                            std::string_view script_address,
                                            std::chrono::milliseconds limit) override {
        auto job = std::make_unique<Discovery>();
        job->address = to_wide(address);
        if (!detect) job->script_address = to_wide(script_address);
        job->limit_ms = static_cast<DWORD>(limit.count());
        const ObjectHandle thread(CreateThread(nullptr, 0, run_discovery, job.get(), 0, nullptr));
        if (!thread.valid()) return std::nullopt;
        if (WaitForSingleObject(thread.get(), job->limit_ms) != WAIT_OBJECT_0) {
            job.release();  // still the thread's
            return std::nullopt;
        }
        return job->found;
    }

    std::chrono::milliseconds now() override { return std::chrono::milliseconds{GetTickCount64()}; }
};

}  // namespace

ProxyRoutes find_proxy_routes(std::string_view address) {
    WindowsProxyPlatform platform;
    return choose_proxy_routes(address, platform);
}

HINTERNET open_session_by(const ProxyRoute& route) {
    const WideString agent = to_wide(USER_AGENT);
    switch (route.kind) {
        case ProxyRoute::Kind::direct:
            return WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0);
        case ProxyRoute::Kind::named: {
            const WideString proxy = to_wide(route.proxy);
            const WideString bypass = to_wide(route.bypass);
            return WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                               bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : bypass.c_str(), 0);
        }
        case ProxyRoute::Kind::machine_default:
            break;
    }
    return WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
}

}  // namespace vorn
