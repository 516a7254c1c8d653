// Where a program's DLLs come from: System32 alone.
#pragma once

#include <windows.h>

namespace vorn {

// Limits every DLL loaded from now on, by the program (its delay-loaded imports) or on demand by
// the system's own DLLs, to System32, never the folder the exe was started from: that is often
// Downloads, where anyone may have dropped a DLL. ERROR_SUCCESS, or why it could not be done
// (ERROR_PROC_NOT_FOUND on Windows 7 lacking KB2533623): then no safe load is possible, and the
// program must not go on.
DWORD restrict_dll_search();

}  // namespace vorn
