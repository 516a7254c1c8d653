#include "text.h"

#include <cstdint>

namespace vorn {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes one code point at `pos`, advancing it; malformed input (overlong forms, surrogates,
// values past U+10FFFF, truncated sequences) yields U+FFFD and consumes one byte.
char32_t decode_utf8(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        return REPLACEMENT;
    }
    if (text.size() - pos < length) {
        ++pos;
        return REPLACEMENT;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[pos + i]);
        if (!is_continuation(byte)) {
            ++pos;
            return REPLACEMENT;
        }
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++pos;
        return REPLACEMENT;
    }
    pos += length;
    return value;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool is_high_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Walks UTF-16 text; returns false at the first unpaired surrogate when `strict`.
bool convert_utf16(WideStringView text, std::string& out, bool strict) {
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto unit = static_cast<char32_t>(static_cast<std::uint16_t>(text[i]));
        if (is_high_surrogate(unit) && i + 1 < text.size()) {
            const auto next = static_cast<char32_t>(static_cast<std::uint16_t>(text[i + 1]));
            if (is_low_surrogate(next)) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            if (strict) return false;
            append_utf8(out, REPLACEMENT);
            continue;
        }
        append_utf8(out, unit);
    }
    return true;
}

}  // namespace

WideString to_wide(std::string_view utf8) {
    WideString out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const char32_t cp = decode_utf8(utf8, pos);
        if (cp < 0x10000) {
            out += static_cast<WideChar>(cp);
        } else {
            out += static_cast<WideChar>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<WideChar>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::string from_wide(WideStringView utf16) {
    std::string out;
    convert_utf16(utf16, out, false);
    return out;
}

std::optional<std::string> from_wide_strict(WideStringView utf16) {
    std::string out;
    if (!convert_utf16(utf16, out, true)) return std::nullopt;
    return out;
}

std::string hex8(std::uint32_t value) {
    constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text(8, '0');
    for (auto digit = text.rbegin(); digit != text.rend(); ++digit, value >>= 4) {
        *digit = DIGITS[value & 0xF];
    }
    return text;
}

}  // namespace vorn
