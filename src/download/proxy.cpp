#include "download/proxy.h"

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

ProxyRoute named_route(std::string proxy, std::string_view bypass) {
    return ProxyRoute{ProxyRoute::Kind::named, std::move(proxy), normalized_bypass_list(bypass)};
}

std::optional<ProxyRoute> discover_route(std::string_view address,
                                         const UserProxySettings& settings,
                                         ProxyPlatform& platform) {
    const std::chrono::milliseconds deadline = platform.now() + PROXY_DISCOVERY_LIMIT;
    if (settings.auto_detect) {
        if (const auto answer = platform.discover(address, true, {}, PROXY_DISCOVERY_LIMIT)) {
            if (auto route = route_from_discovery(*answer)) return route;
        }
    }
    if (!settings.script_address.empty()) {
        const std::chrono::milliseconds left = deadline - platform.now();
        if (left <= std::chrono::milliseconds::zero()) return std::nullopt;
        if (const auto answer = platform.discover(address, false, settings.script_address, left)) {
            return route_from_discovery(*answer);
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

// The platform hands back the script's list in its own form ("a:1;b:2", "DIRECT" among them);
// only the first entry is used, as a session holds one proxy: a script that offers DIRECT after
// a proxy that is down does not get its second choice.
std::optional<ProxyRoute> route_from_discovery(const DiscoveredProxy& answer) {
    if (!answer.named) return ProxyRoute{ProxyRoute::Kind::direct, {}, {}};
    std::string_view list = answer.proxy;
    std::string_view first;
    if (!next_piece(list, ";", first)) return std::nullopt;
    if (equals_ignoring_case(first, "DIRECT")) return ProxyRoute{ProxyRoute::Kind::direct, {}, {}};
    if (first == "PROXY") return std::nullopt;  // the keyword without its proxy, not a host
    if (starts_with_ignoring_case(first, "PROXY") && first.size() > 5 && is_space(first[5])) {
        first = trim(first.substr(5));
    }
    auto server = proxy_server(first);
    if (!server) return std::nullopt;
    return named_route(std::move(*server), answer.bypass);
}

// The list is "server" for every scheme or "scheme=server" entries; for https the "https="
// entry counts, else the one without a scheme. A list that names only other schemes leaves
// https without a proxy, as browsers treat it.
std::optional<ProxyRoute> route_from_manual(std::string_view proxy, std::string_view bypass) {
    std::optional<std::string_view> for_https;
    std::optional<std::string_view> for_all;
    std::string_view entry;
    bool any = false;
    while (next_piece(proxy, "; \t\r\n", entry)) {
        any = true;
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            if (!for_all) for_all = entry;
        } else if (equals_ignoring_case(trim(entry.substr(0, equals)), "https")) {
            if (!for_https) for_https = trim(entry.substr(equals + 1));
        }
    }
    if (!any) return std::nullopt;
    const std::optional<std::string_view> chosen = for_https ? for_https : for_all;
    if (!chosen) return ProxyRoute{ProxyRoute::Kind::direct, {}, {}};
    auto server = proxy_server(*chosen);
    if (!server) return std::nullopt;
    return named_route(std::move(*server), bypass);
}

ProxyRoute choose_proxy_route(std::string_view address, ProxyPlatform& platform) {
    const std::optional<UserProxySettings> settings = platform.user_settings();
    if (!settings) return ProxyRoute{};
    if (settings->auto_detect || !settings->script_address.empty()) {
        if (auto route = discover_route(address, *settings, platform)) return *route;
    }
    if (!trim(settings->proxy).empty()) {
        if (auto route = route_from_manual(settings->proxy, settings->bypass)) return *route;
    }
    return ProxyRoute{};
}

}  // namespace vorn
