// The release gate's output: UTF-8 text, whatever the standard handle leads to.
#pragma once

#include <windows.h>

#include <string_view>

namespace vorn {

// Writes `text` (UTF-8) to the standard handle `which` (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE):
// to a console as UTF-16, which the console shows whatever its code page (under wine, in the
// terminal's own encoding); to a file or a pipe as the UTF-8 bytes themselves, which is what a
// script reading it on Linux expects.
void write_text(DWORD which, std::string_view text);

}  // namespace vorn
