// The platform's limit for the stub's download: the same WinHTTP calls in the same order, reads of
// at most 64 KiB into one buffer written straight to the file, synchronously, on the main thread,
// with no window, no progress and no second thread.
//
//   raw_fetch.exe HOST PORT PATH FILE
//
// Exit code 0 when the whole body (as long as announced, when it was) is in FILE.
#include "raw_loop.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: raw_fetch.exe HOST PORT PATH FILE\n");
        return 2;
    }
    const auto port = static_cast<INTERNET_PORT>(std::wcstoul(argv[2], nullptr, 10));
    return raw_fetch(argv[1], port, argv[3], argv[4]);
}
