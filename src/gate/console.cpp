#include "gate/console.h"

#include "text.h"

namespace vorn {

void write_text(DWORD which, std::string_view text) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        const WideString wide = to_wide(text);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    while (!text.empty() &&
           WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written > 0) {
        text.remove_prefix(written);
    }
}

}  // namespace vorn
