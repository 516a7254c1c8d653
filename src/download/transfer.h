// The download's decisions, written against one small interface over the HTTP client and the
// output file so that every failure, cancellation and progress post can be tested without a
// network. The WinHTTP/kernel32 implementation lives in worker.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "download/run_folder_rules.h"
#include "download/url.h"
#include "shell/shared_state.h"
#include "text.h"

namespace vorn {

inline constexpr std::string_view USER_AGENT = "vorn-installer/1.0";
inline constexpr std::uint32_t CHUNK_SIZE = 65536;
inline constexpr std::uint64_t PROGRESS_STEP = 2 * 1024 * 1024;

enum class HeaderLookup { found, absent, failed };

// Each call maps onto one platform call. A call that returns false leaves its error code for
// last_error(). Whatever is still open when the transport is destroyed is closed in the order
// file, request, connection, session; a created file that was not kept is gone with its handle,
// and then the run's folder that held it.
class DownloadTransport : public RunFolderPlatform {
  public:
    virtual ~DownloadTransport() = default;

    virtual bool open_session() = 0;
    virtual bool connect(const std::string& host, std::uint16_t port) = 0;
    virtual bool open_request(const std::string& path, bool secure) = 0;
    virtual void refuse_downgrade_redirects() = 0;
    virtual bool send_request() = 0;
    virtual bool receive_response() = 0;
    virtual bool query_status(std::uint32_t& status) = 0;
    // After a proxy's 407: sets the user's Windows logon to answer it by Negotiate or NTLM for
    // the next send. False when the proxy offers neither (Basic and Digest want a password this
    // program does not have, and it never prompts) or the logon cannot be set.
    virtual bool answer_proxy_logon() = 0;
    // The text of the index-th Content-Length header of the response, counted from 0.
    virtual HeaderLookup query_length_header(std::uint32_t index, std::string& text) = 0;
    // The system's temporary folder as the platform reports it, however long.
    virtual WideString temp_folder() = 0;
    // Creates the installer file, new, in the run's folder made just before.
    virtual bool create_file(const std::string& path) = 0;
    virtual bool bytes_available(std::uint32_t& count) = 0;
    virtual bool read(std::byte* buffer, std::uint32_t size, std::uint32_t& count) = 0;
    // False also when fewer bytes than asked were written.
    virtual bool write(const std::byte* data, std::uint32_t size) = 0;
    // Closes the file and the handles, in order, keeping the file: the download is complete.
    // False when the file cannot be kept: it is then gone like an unfinished one.
    virtual bool finish() = 0;
    virtual void post_progress() = 0;
    virtual std::uint32_t last_error() = 0;
};

inline constexpr std::string_view INVALID_LENGTH_MESSAGE = "服务器返回的文件长度无效";

// A Content-Length value: decimal digits only, no sign, no overflow, with spaces or tabs
// around them.
std::optional<std::uint64_t> parse_content_length(std::string_view text);

// Runs one download to the end, updating the counters in `state`. It stops before the next read
// once the window has ended the run, and keeps the file or reports a failure only after claiming
// the run's end (RunState::finishing); when the window claimed it first, the result is the
// cancellation. Writes the "downloaded" log line through `log` on success only.
DownloadResult run_download(std::string_view address, DownloadTransport& transport,
                            SharedState& state, void (*log)(std::string_view));

}  // namespace vorn
