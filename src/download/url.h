// Splitting the compiled-in download address into what the HTTP client asks for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

struct UrlParts {
    bool secure = false;
    std::string host;
    std::uint16_t port = 0;
    std::string path;  // never empty; keeps the query exactly as written

    bool operator==(const UrlParts&) const = default;
};

// Never fails: every input yields parts, with the scheme's default port as the fallback.
UrlParts parse_download_url(std::string_view address);

}  // namespace vorn
