#include "download/proxy.h"

#include <utility>

namespace vorn {
namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equals_ignoring_case(text.substr(0, prefix.size()), prefix);
}

constexpr std::string_view WHITESPACE = " \t\r\n";
constexpr std::string_view ENTRY_SEPARATORS = "; \t\r\n";

// Takes the next non-empty, trimmed piece of `list` up to any of the `separators`; false when
// none is left.
bool next_piece(std::string_view& list, std::string_view separators, std::string_view& piece) {
    while (!list.empty()) {
        const std::size_t end = list.find_first_of(separators);
        piece = trim(list.substr(0, end));
        list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
        if (!piece.empty()) return true;
    }
    return false;
}

bool is_host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool is_valid_host(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        for (const char c : host.substr(1, host.size() - 2)) {
            const bool hex = (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f');
            if (!hex && c != ':' && c != '.') return false;
        }
        return true;
    }
    if (host.empty()) return false;
    for (const char c : host) {
        if (!is_host_char(c)) return false;
    }
    return true;
}

bool is_valid_port(std::string_view port) {
    if (port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

// One proxy as WinHTTP takes it, "host[:port]", from an entry that may carry "http://" and a
// trailing slash as people type them; nullopt for anything else (another scheme, a path, a
// user name), which a session could not use as meant.
std::optional<std::string> proxy_server(std::string_view entry) {
    if (starts_with_ignoring_case(entry, "http://")) entry.remove_prefix(7);
    if (entry.ends_with('/')) entry.remove_suffix(1);
    std::string_view host = entry;
    const std::size_t colon = entry.rfind(':');
    const bool bracketed = entry.starts_with('[');
    if (colon != std::string_view::npos && (!bracketed || colon > entry.find(']'))) {
        if (!is_valid_port(entry.substr(colon + 1))) return std::nullopt;
        host = entry.substr(0, colon);
    }
    if (!is_valid_host(host)) return std::nullopt;
    return std::string(entry);
}

// A SOCKS proxy as the list names it ("socks=host:port", "socks://host:port", also socks4 and
// socks5): its server, which WinHTTP could not speak to; nullopt for any other entry.
std::optional<std::string> socks_server(std::string_view entry) {
    for (const std::string_view prefix : {"socks=", "socks://", "socks4://", "socks5://"}) {
        if (starts_with_ignoring_case(entry, prefix))
            return proxy_server(entry.substr(prefix.size()));
    }
    return std::nullopt;
}

bool is_socks_keyword(std::string_view word) {
    return equals_ignoring_case(word, "SOCKS") || equals_ignoring_case(word, "SOCKS4") ||
           equals_ignoring_case(word, "SOCKS5");
}

bool is_keyword(std::string_view word) {
    return equals_ignoring_case(word, "PROXY") || equals_ignoring_case(word, "DIRECT") ||
           is_socks_keyword(word);
}

ProxyRoute named_route(std::string proxy, std::string_view bypass) {
    return ProxyRoute{ProxyRoute::Kind::named, std::move(proxy), normalized_bypass_list(bypass)};
}

ProxyRoutes only(ProxyRoute::Kind kind) {
    ProxyRoutes routes;
    routes.routes.emplace_back().kind = kind;
    return routes;
}

void add_once(std::vector<ProxyRoute>& routes, ProxyRoute route) {
    for (const ProxyRoute& known : routes) {
        if (known == route) return;
    }
    routes.push_back(std::move(route));
}

// What one entry of a script's answer asks for.
struct ScriptEntry {
    enum class Kind { direct, proxy, socks } kind;
    std::string server;
};

// The entry that starts with `word`, taking the server that follows a keyword from `rest`;
// nullopt when it cannot be read.
std::optional<ScriptEntry> script_entry(std::string_view word, std::string_view& rest) {
    using Kind = ScriptEntry::Kind;
    if (equals_ignoring_case(word, "DIRECT")) return ScriptEntry{Kind::direct, {}};
    const bool socks = is_socks_keyword(word);
    if (socks || equals_ignoring_case(word, "PROXY")) {
        if (!next_piece(rest, WHITESPACE, word) || is_keyword(word)) return std::nullopt;
        auto server = proxy_server(word);
        if (!server) return std::nullopt;
        return ScriptEntry{socks ? Kind::socks : Kind::proxy, std::move(*server)};
    }
    if (auto server = socks_server(word)) return ScriptEntry{Kind::socks, std::move(*server)};
    if (auto server = proxy_server(word)) return ScriptEntry{Kind::proxy, std::move(*server)};
    return std::nullopt;
}

std::optional<ProxyRoutes> discover_routes(std::string_view address,
                                           const UserProxySettings& settings,
                                           ProxyPlatform& platform) {
    const std::chrono::milliseconds deadline = platform.now() + PROXY_DISCOVERY_LIMIT;
    if (settings.auto_detect) {
        if (const auto answer = platform.discover(address, true, {}, PROXY_DISCOVERY_LIMIT)) {
            if (auto routes = routes_from_discovery(*answer)) return routes;
        }
    }
    if (!settings.script_address.empty()) {
        const std::chrono::milliseconds left = deadline - platform.now();
        if (left <= std::chrono::milliseconds::zero()) return std::nullopt;
        if (const auto answer = platform.discover(address, false, settings.script_address, left)) {
            return routes_from_discovery(*answer);
        }
    }
    return std::nullopt;
}

}  // namespace

std::string normalized_bypass_list(std::string_view list) {
    std::string joined;
    std::string_view entry;
    while (next_piece(list, "; \t\r\n,", entry)) {
        if (!joined.empty()) joined += ';';
        joined += entry;
    }
    return joined;
}

// The platform hands back the script's list in its own form: entries separated by semicolons or
// whitespace ("a:1;b:2", "a:1 b:2"), or as the script wrote them ("PROXY a:1; DIRECT"), keywords
// in any case. Each entry is a second choice for the one before; DIRECT ends the list, as nothing
// after it is ever needed. A SOCKS entry is left out: WinHTTP cannot speak to it.
std::optional<ProxyRoutes> routes_from_discovery(const DiscoveredProxy& answer) {
    if (!answer.named) return only(ProxyRoute::Kind::direct);
    ProxyRoutes found;
    std::string first_socks;
    bool any = false;
    std::string_view list = answer.proxy;
    std::string_view entry;
    while (next_piece(list, ";", entry)) {
        std::string_view word;
        while (next_piece(entry, WHITESPACE, word)) {
            any = true;
            auto chosen = script_entry(word, entry);
            if (!chosen) return std::nullopt;
            switch (chosen->kind) {
                case ScriptEntry::Kind::direct:
                    add_once(found.routes, ProxyRoute{ProxyRoute::Kind::direct, {}, {}});
                    return found;
                case ScriptEntry::Kind::socks:
                    if (first_socks.empty()) first_socks = std::move(chosen->server);
                    break;
                case ScriptEntry::Kind::proxy:
                    add_once(found.routes, named_route(std::move(chosen->server), answer.bypass));
                    break;
            }
        }
    }
    if (!any) return std::nullopt;
    if (found.routes.empty()) found.socks = std::move(first_socks);
    return found;
}

// The list is "server" for every scheme or "scheme=server" entries, separated by semicolons or
// whitespace, scheme names in any case; for https the "https=" entry counts, else the one
// without a scheme, else the "socks=" one, as WinINet reads it. A SOCKS proxy is named so that
// the download does not silently go direct; a list that names only other schemes leaves https
// without a proxy, as browsers treat it.
std::optional<ProxyRoutes> routes_from_manual(std::string_view proxy, std::string_view bypass) {
    std::optional<std::string_view> for_https;
    std::optional<std::string_view> for_all;
    std::optional<std::string_view> for_socks;
    std::string_view entry;
    bool any = false;
    while (next_piece(proxy, ENTRY_SEPARATORS, entry)) {
        any = true;
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            if (!for_all) for_all = entry;
            continue;
        }
        const std::string_view scheme = trim(entry.substr(0, equals));
        const std::string_view server = trim(entry.substr(equals + 1));
        if (equals_ignoring_case(scheme, "https") && !for_https) for_https = server;
        if (equals_ignoring_case(scheme, "socks") && !for_socks) for_socks = server;
    }
    if (!any) return std::nullopt;
    if (const std::optional<std::string_view> chosen = for_https ? for_https : for_all) {
        if (auto socks = socks_server(*chosen)) return ProxyRoutes{{}, std::move(*socks)};
        auto server = proxy_server(*chosen);
        if (!server) return std::nullopt;
        ProxyRoutes routes;
        routes.routes.push_back(named_route(std::move(*server), bypass));
        return routes;
    }
    if (for_socks) {
        auto server = proxy_server(*for_socks);
        if (!server) return std::nullopt;
        return ProxyRoutes{{}, std::move(*server)};
    }
    return only(ProxyRoute::Kind::direct);
}

ProxyRoutes choose_proxy_routes(std::string_view address, ProxyPlatform& platform) {
    const std::optional<UserProxySettings> settings = platform.user_settings();
    if (!settings) return only(ProxyRoute::Kind::machine_default);
    if (settings->auto_detect || !settings->script_address.empty()) {
        if (auto routes = discover_routes(address, *settings, platform)) return std::move(*routes);
    }
    if (!trim(settings->proxy).empty()) {
        if (auto routes = routes_from_manual(settings->proxy, settings->bypass)) {
            return std::move(*routes);
        }
    }
    return only(ProxyRoute::Kind::machine_default);
}

}  // namespace vorn
