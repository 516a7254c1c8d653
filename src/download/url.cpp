#include "download/url.h"

#include <array>
#include <optional>

namespace vorn {
namespace {

// The Unicode White_Space set, as UTF-8.
constexpr std::array<std::string_view, 25> WHITE_SPACE = {
    " ",      "\t",     "\n",     "\v",     "\f",     "\r",     "\u0085", "\u00A0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

std::size_t leading_space(std::string_view text) {
    for (const auto space : WHITE_SPACE) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

std::size_t trailing_space(std::string_view text) {
    for (const auto space : WHITE_SPACE) {
        if (text.ends_with(space)) return space.size();
    }
    return 0;
}

std::string_view trim(std::string_view text) {
    while (const std::size_t n = leading_space(text)) text.remove_prefix(n);
    while (const std::size_t n = trailing_space(text)) text.remove_suffix(n);
    return text;
}

// An optional single "+", then one or more ASCII digits, at most 65535 in value.
std::optional<std::uint16_t> parse_port(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

UrlParts parse_download_url(std::string_view address) {
    std::string_view rest = trim(address);
    UrlParts parts;
    if (rest.starts_with("https://")) {
        parts.secure = true;
        rest.remove_prefix(8);
    } else if (rest.starts_with("http://")) {
        rest.remove_prefix(7);
    }
    const std::uint16_t default_port = parts.secure ? 443 : 80;

    std::string_view authority = rest;
    parts.path = "/";
    if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
        authority = rest.substr(0, slash);
        parts.path = rest.substr(slash);
    }

    parts.host = authority;
    parts.port = default_port;
    if (const auto colon = authority.find(':'); colon != std::string_view::npos) {
        parts.host = authority.substr(0, colon);
        parts.port = parse_port(authority.substr(colon + 1)).value_or(default_port);
    }
    return parts;
}

}  // namespace vorn
