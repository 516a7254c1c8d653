// The diagnostic log in %TEMP% and the program's single orderly error exit.
#pragma once

#include <string_view>

namespace vorn {

inline constexpr std::string_view LOG_FILE_NAME = "\\vorn-installer.log";

// Appends "[pid] message\n" to the log. Never fails from the caller's point of view.
void write_log(std::string_view message);

// Logs "FATAL: message" and shows the error box until it is dismissed.
void report_failure(std::string_view message);

// Logs "FATAL: message", shows the error box, ends the process with exit code 1.
[[noreturn]] void fatal_exit(std::string_view message);

// Ends the process at once with `code`, whatever its other threads are doing.
[[noreturn]] void end_process(unsigned code);

}  // namespace vorn
