// The raw download loop of raw_fetch.exe, shared with window_fetch.exe: the same WinHTTP calls in
// the same order as the stub's, reads of at most 64 KiB into one buffer written straight to the
// file, synchronously, on the calling thread.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD CHUNK_SIZE = 65536;

int failed(const char* what) {
    std::fprintf(stderr, "raw_fetch: %s failed (%lu)\n", what, GetLastError());
    return 1;
}

// The body of an answered request into `file`; the byte count through `received`.
bool copy_body(HINTERNET request, HANDLE file, unsigned long long& received) {
    std::vector<char> chunk(CHUNK_SIZE);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return false;
        if (available == 0) return true;
        DWORD count = 0;
        if (!WinHttpReadData(request, chunk.data(), available < CHUNK_SIZE ? available : CHUNK_SIZE,
                             &count)) {
            return false;
        }
        if (count == 0) return true;
        DWORD written = 0;
        if (!WriteFile(file, chunk.data(), count, &written, nullptr) || written != count) {
            return false;
        }
        received += count;
    }
}

// One download of https://HOST:PORT/PATH into TARGET; 0 when the whole body (as long as announced,
// when it was) is there.
inline int raw_fetch(const wchar_t* host, INTERNET_PORT port, const wchar_t* path,
                     const wchar_t* target) {
    const HINTERNET session = WinHttpOpen(L"vorn-bench/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return failed("WinHttpOpen");
    const HINTERNET connection = WinHttpConnect(session, host, port, 0);
    if (!connection) return failed("WinHttpConnect");
    const HINTERNET request =
        WinHttpOpenRequest(connection, L"GET", path, L"HTTP/1.1", WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!request) return failed("WinHttpOpenRequest");
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0)) {
        return failed("WinHttpSendRequest");
    }
    if (!WinHttpReceiveResponse(request, nullptr)) return failed("WinHttpReceiveResponse");
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        return failed("the status query (or a status other than 200)");
    }
    wchar_t length_text[32] = {};
    DWORD length_size = sizeof length_text;
    const bool announced =
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                            length_text, &length_size, WINHTTP_NO_HEADER_INDEX);
    const HANDLE file =
        CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed("CreateFileW");
    unsigned long long received = 0;
    if (!copy_body(request, file, received)) return failed("the transfer");
    CloseHandle(file);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    if (announced && received != std::wcstoull(length_text, nullptr, 10)) {
        std::fprintf(stderr, "raw_fetch: %llu bytes of %ls\n", received, length_text);
        return 1;
    }
    return 0;
}

}  // namespace
