// The download over WinHTTP into the temporary folder.
#pragma once

#include <string_view>

#include "shell/shared_state.h"

namespace vorn {

// One complete download with the platform's HTTP client, reporting into shared_state.
DownloadResult run_download(std::string_view address);

}  // namespace vorn
