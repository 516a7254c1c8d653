#include "download/url.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vorn {

// Readable failure messages.
void PrintTo(const UrlParts& parts, std::ostream* out) {
    *out << (parts.secure ? "secure " : "plain ") << parts.host << " " << parts.port << " "
         << parts.path;
}

namespace {

struct Case {
    std::string address;
    UrlParts expected;
};

TEST(ParseDownloadUrl, SplitsAddressesAsDocumented) {
    const Case cases[] = {
        {"https://server/api/app/download?platform=win",
         {true, "server", 443, "/api/app/download?platform=win"}},
        {"  http://server:808/x  ", {false, "server", 808, "/x"}},
        {"server", {false, "server", 80, "/"}},
        {"https://server:/x", {true, "server", 443, "/x"}},
        {"https://server:99999/x", {true, "server", 443, "/x"}},
        {"https://server:+444/x", {true, "server", 444, "/x"}},
        {"https://server:-444/x", {true, "server", 443, "/x"}},
        {"https://server:+/x", {true, "server", 443, "/x"}},
        {"https://server:++4/x", {true, "server", 443, "/x"}},
        {"https://server:4a/x", {true, "server", 443, "/x"}},
        {"HTTPS://server/x", {false, "HTTPS", 80, "//server/x"}},
        {"https://", {true, "", 443, "/"}},
        {"http://", {false, "", 80, "/"}},
        {"https:/", {false, "https", 80, "/"}},
        {"", {false, "", 80, "/"}},
        {"https://server:0/x", {true, "server", 0, "/x"}},
        {"https://server:65535/x", {true, "server", 65535, "/x"}},
        {"https://server:65536/x", {true, "server", 443, "/x"}},
        {"http://server:0080/x", {false, "server", 80, "/x"}},
        {"http://server:000000080", {false, "server", 80, "/"}},
        {"http://server:00000000000000000000065535/", {false, "server", 65535, "/"}},
        {"https://server?platform=win", {true, "server?platform=win", 443, "/"}},
        {"https://server/a:b", {true, "server", 443, "/a:b"}},
        {"https://[::1]:8443/x", {true, "[", 443, "/x"}},
        {"https://user:pw@server/x", {true, "user", 443, "/x"}},
        {"ftp://server/x", {false, "ftp", 80, "//server/x"}},
        {"https://server/a%20b?q= x", {true, "server", 443, "/a%20b?q= x"}},
        {"\u3000https://server/x\u00A0\t", {true, "server", 443, "/x"}},
        {"https://server/x\u200B", {true, "server", 443, "/x\u200B"}},  // ZWSP is not White_Space
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_download_url(c.address), c.expected) << c.address;
    }
}

TEST(ParseDownloadUrl, TrimsEveryWhiteSpaceCharacterOnBothSides) {
    const char* white_space[] = {
        " ",      "\t",     "\n",     "\v",     "\f",     "\r",     "\u0085", "\u00A0", "\u1680",
        "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
        "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
    };
    const UrlParts expected{true, "h", 443, "/p"};
    for (const char* a : white_space) {
        for (const char* b : white_space) {
            const std::string address = std::string(a) + b + "https://h/p" + b + a;
            EXPECT_EQ(parse_download_url(address), expected) << address;
        }
    }
    // Space inside the address is not trimmed away.
    EXPECT_EQ(parse_download_url("https://h/p \u3000q").path, "/p \u3000q");
}

// Independent reading of a port text: strip the sign and the leading zeros, then compare the
// digits as text with "65535".
std::uint16_t reference_port(const std::string& text, std::uint16_t fallback) {
    std::string digits = text;
    if (!digits.empty() && digits[0] == '+') digits.erase(0, 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return fallback;
    }
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 5 || (digits.size() == 5 && digits > "65535")) return fallback;
    return static_cast<std::uint16_t>(std::stoul(digits));
}

TEST(ParseDownloadUrl, PortsAgreeWithAnIndependentReading) {
    std::mt19937 random(11);
    const std::string alphabet = "0000123456789+-a: ";
    std::vector<std::string> ports = {"65535",  "65536",   "0",
                                      "00000",  "+0",      "99999999999999999999",
                                      "065535", "0065536", "1844674407370955161600"};
    for (int i = 0; i < 20000; ++i) {
        std::string port;
        const int length = static_cast<int>(random() % 8);
        for (int j = 0; j < length; ++j) port += alphabet[random() % alphabet.size()];
        ports.push_back(port);
    }
    for (const auto& port : ports) {
        for (const bool secure : {false, true}) {
            const std::string scheme = secure ? "https://" : "http://";
            const std::uint16_t fallback = secure ? 443 : 80;
            const UrlParts parts = parse_download_url(scheme + "h:" + port + "/p");
            // The generated text holds no "/", so host and path stay fixed.
            ASSERT_EQ(parts.host, "h") << port;
            ASSERT_EQ(parts.path, "/p") << port;
            ASSERT_EQ(parts.port, reference_port(port, fallback)) << port;
        }
    }
}

}  // namespace
}  // namespace vorn
