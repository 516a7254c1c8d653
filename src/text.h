// Text conversion between the program's UTF-8 and the platform's UTF-16, and code numbers as text.
#pragma once

#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// UTF-16 text as the platform takes it: wchar_t where it is 16 bits wide (Windows), char16_t
// elsewhere, so the same conversions are exercised by native tests.
#if WCHAR_MAX == 0xFFFF
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif
using WideString = std::basic_string<WideChar>;
using WideStringView = std::basic_string_view<WideChar>;

// UTF-8 to UTF-16 for a platform call; c_str() supplies the terminating 0 unit, so an embedded
// NUL simply ends the text early for the platform. Malformed UTF-8 becomes U+FFFD.
WideString to_wide(std::string_view utf8);

// UTF-16 to UTF-8, each unpaired surrogate replaced by U+FFFD.
std::string from_wide(WideStringView utf16);

// UTF-16 to UTF-8, refusing the whole text when it holds an unpaired surrogate.
std::optional<std::string> from_wide_strict(WideStringView utf16);

// A 32-bit code as exactly eight upper-case hexadecimal digits, e.g. "800B0100" (without the
// C runtime's printf family, which would add about 25 KB to the program).
std::string hex8(std::uint32_t value);

}  // namespace vorn
