// The download over WinHTTP into the temporary folder, and the check of what arrived.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "shell/shared_state.h"

namespace vorn {

// What a complete installer must pass before the UI thread may start it, read through `held`
// (open for reading and shared for reading alone); nullopt when it passed, else the message for
// the user. None (nullptr): the installer is started unchecked.
using InstallerCheck = std::optional<std::string> (*)(const std::string& path, HANDLE held);

// One complete download with the platform's HTTP client, reporting into shared_state, and the
// check of the file it kept; a success carries the file, held.
DownloadResult run_download(std::string_view address, InstallerCheck check);

// Body of the worker thread: downloads and checks, stores the outcome, posts WM_APP_DONE.
void download_worker(std::string address, InstallerCheck check);

}  // namespace vorn
