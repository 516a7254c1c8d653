// How the download address is reached: the proxy the user set, found in the order browsers on
// Windows follow, with the machine's WinHTTP setting as the last resort. The decisions are
// written against a small interface over the platform, so that native tests can drive them; the
// WinHTTP implementation lives in proxy_windows.cpp.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// Detection and the script together get this long. A script on a working network arrives in
// tens of milliseconds and WPAD look-ups that find nothing end in less; 5 s leaves room for a
// slow resolver and a slow link, while a script server that never answers costs the user 5 s
// once, after which the manual proxy (or the machine's setting) is used.
inline constexpr std::chrono::milliseconds PROXY_DISCOVERY_LIMIT{5000};

// The user's settings, as the platform reads them from Internet Options.
struct UserProxySettings {
    bool auto_detect = false;
    std::string script_address;  // empty: none
    std::string proxy;           // the manual proxy list, e.g. "host:3128" or "https=host:3128"
    std::string bypass;          // the manual bypass list, e.g. "<local>;*.example.com"

    bool operator==(const UserProxySettings&) const = default;
};

// What detection or a script answered for one address.
struct DiscoveredProxy {
    bool named = false;  // false: the platform said "no proxy"
    std::string
        proxy;  // named: the proxy list, e.g. "host:3128", "a:1;b:2;DIRECT", "PROXY a:1 b:2"
    std::string bypass;  // named: its bypass list, often empty

    bool operator==(const DiscoveredProxy&) const = default;
};

// The answer a session is opened with.
struct ProxyRoute {
    enum class Kind {
        machine_default,  // the machine's WinHTTP setting (netsh winhttp), as before
        direct,           // no proxy at all
        named,            // `proxy`, except for the hosts in `bypass`
    };
    Kind kind = Kind::machine_default;
    std::string proxy;   // named: one "host[:port]"
    std::string bypass;  // named: entries separated by ';', maybe empty

    bool operator==(const ProxyRoute&) const = default;
};

// The routes to try, in order: the next one only when the proxy of the one before could not be
// reached, each once. Empty when all the settings named for https was a SOCKS proxy, which
// WinHTTP cannot speak: `socks` then names it, and the download must not go another way.
struct ProxyRoutes {
    std::vector<ProxyRoute> routes;
    std::string socks;  // "host[:port]"; set only when `routes` is empty

    bool operator==(const ProxyRoutes&) const = default;
};

// Each call maps onto the platform's own proxy functions.
class ProxyPlatform {
  public:
    virtual ~ProxyPlatform() = default;

    // nullopt when the user's settings cannot be read.
    virtual std::optional<UserProxySettings> user_settings() = 0;
    // The proxy for `address` by WPAD (detect) or by the script at `script_address` alone;
    // nullopt when that fails or takes longer than `limit`.
    virtual std::optional<DiscoveredProxy> discover(std::string_view address, bool detect,
                                                    std::string_view script_address,
                                                    std::chrono::milliseconds limit) = 0;
    // Time since some fixed point, to share one limit between detection and the script.
    virtual std::chrono::milliseconds now() = 0;
};

// The routes for an https `address`:
//   1. the user's automatic detection, then their script address, whose answer is taken as it is
//      (its proxies in order, direct, or SOCKS alone), when it is one this program can read;
//   2. otherwise the user's manual proxy for https, with their bypass list;
//   3. otherwise the machine's WinHTTP setting.
ProxyRoutes choose_proxy_routes(std::string_view address, ProxyPlatform& platform);

// A discovered answer as routes: its entries in order, SOCKS ones left out, nothing after DIRECT,
// each entry once; nullopt when an entry cannot be read or there is none.
std::optional<ProxyRoutes> routes_from_discovery(const DiscoveredProxy& answer);

// The manual settings as a route for https; nullopt when the proxy list cannot be read.
std::optional<ProxyRoutes> routes_from_manual(std::string_view proxy, std::string_view bypass);

// A bypass list with its entries trimmed and separated by ';' alone (Internet Options also
// takes spaces and commas; WinHTTP reads ';').
std::string normalized_bypass_list(std::string_view list);

}  // namespace vorn
