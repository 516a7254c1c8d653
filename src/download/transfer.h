// The download's decisions, written against one small interface over the HTTP client and the
// output file so that every failure, cancellation and progress post can be tested without a
// network. The WinHTTP/kernel32 implementation lives in worker.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "download/proxy.h"
#include "download/run_folder_rules.h"
#include "download/url.h"
#include "shell/shared_state.h"
#include "text.h"

namespace vorn {

inline constexpr std::string_view USER_AGENT = "vorn-installer/1.0";
inline constexpr std::uint32_t CHUNK_SIZE = 65536;
inline constexpr std::uint64_t PROGRESS_STEP = 2 * 1024 * 1024;

enum class HeaderLookup { found, absent, failed };

// What a 401 or 407 asks for: whom the credentials would go to, and the schemes among those that
// prove the user's Windows logon without a password.
struct AuthChallenge {
    bool from_proxy = false;  // false: the server's (WWW-Authenticate)
    bool negotiate = false;
    bool ntlm = false;
};

enum class AuthTarget { server, proxy };
enum class LogonScheme { negotiate, ntlm };

// Each call maps onto one platform call. A call that returns false leaves its error code for
// last_error(). Whatever is still open when the transport is destroyed is closed in the order
// file, request, connection, session; a created file that was not kept is gone with its handle,
// and then the run's folder that held it.
class DownloadTransport : public RunFolderPlatform {
  public:
    virtual ~DownloadTransport() = default;

    // A session that goes by `route` alone, the redirect to the file host included.
    virtual bool open_session(const ProxyRoute& route) = 0;
    // Closes the request, connection and session, in that order, before the next route is tried.
    virtual void close_session() = 0;
    virtual bool connect(const std::string& host, std::uint16_t port) = 0;
    virtual bool open_request(const std::string& path, bool secure) = 0;
    virtual void refuse_downgrade_redirects() = 0;
    virtual bool send_request() = 0;
    virtual bool receive_response() = 0;
    virtual bool query_status(std::uint32_t& status) = 0;
    // The challenge of the response just received (WinHttpQueryAuthSchemes).
    virtual bool query_challenge(AuthChallenge& challenge) = 0;
    // The user's Windows logon, no user name and no password, for `target` by `scheme` on the
    // next send (WinHttpSetCredentials), and nothing else: the platform's auto-logon policy stays
    // as it is.
    virtual bool set_default_credentials(AuthTarget target, LogonScheme scheme) = 0;
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
    // The download is complete: keeps the file, handing it over to a hold that nobody else can
    // write, rename or delete, and closes the network handles in order. False when the file
    // cannot be kept or held: it is then gone like an unfinished one.
    virtual bool finish() = 0;
    virtual void post_progress() = 0;
    virtual std::uint32_t last_error() = 0;
};

inline constexpr std::string_view INVALID_LENGTH_MESSAGE = "服务器返回的文件长度无效";
// All the settings named for https is a SOCKS proxy (followed by its "host:port").
inline constexpr std::string_view SOCKS_PROXY_MESSAGE = "不支持 SOCKS 代理服务器: ";

// A Content-Length value: decimal digits only, no sign, no overflow, with spaces or tabs
// around them.
std::optional<std::uint64_t> parse_content_length(std::string_view text);

// Runs one download to the end, updating the counters in `state`: by the first of `routes`, and
// by the next one only when the proxy of the one before could not be reached. Once the window
// has ended the run it makes no further call that reaches the network or the disk (each one
// looks at the run state first), and it keeps the file or reports a failure only after claiming
// the run's end (RunState::finishing); when the window claimed it first, the result is the
// cancellation. Writes the "downloaded" log line through `log` on success only.
DownloadResult run_download(std::string_view address, const ProxyRoutes& routes,
                            DownloadTransport& transport, SharedState& state,
                            void (*log)(std::string_view));

}  // namespace vorn
