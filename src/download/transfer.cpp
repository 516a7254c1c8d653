#include "download/transfer.h"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <variant>

namespace vorn {
namespace {

DownloadFailure platform_failure(std::string_view operation, std::uint32_t error) {
    return {std::string(operation) + " 失败 (err=" + std::to_string(error) + ")"};
}

DownloadFailure write_failure(std::uint32_t error) {
    return {"写入临时文件失败 (err=" + std::to_string(error) + ")"};
}

constexpr std::uint32_t PROXY_AUTHENTICATION_REQUIRED = 407;

// WinHttpSendRequest's errors for a proxy that cannot be reached: it refused the connection, its
// name was not found, or it did not answer in time. Through a proxy the name looked up and the
// connection made are the proxy's.
constexpr std::uint32_t ERROR_WINHTTP_TIMEOUT = 12002;
constexpr std::uint32_t ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
constexpr std::uint32_t ERROR_WINHTTP_CANNOT_CONNECT = 12029;

bool proxy_unreachable(const ProxyRoute& route, std::uint32_t error) {
    return route.kind == ProxyRoute::Kind::named &&
           (error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
            error == ERROR_WINHTTP_TIMEOUT);
}

DownloadFailure cancelled() {
    return {std::string(CANCELLED_MESSAGE)};
}

// A run that has ended does nothing more: every step that reaches the network or the disk first
// looks whether the run is still on, so that Cancel or the close ends the download's work even
// where no call is stuck. (What the window decided is the outcome: see run_download.)
bool ended(const SharedState& state) {
    return !state.still_running();
}

// The request sent and its response's status read; the failure names the step that failed.
std::optional<DownloadFailure> send_and_receive(DownloadTransport& io, const SharedState& state,
                                                std::uint32_t& status) {
    if (ended(state)) return cancelled();
    if (!io.send_request()) return platform_failure("WinHttpSendRequest", io.last_error());
    if (ended(state)) return cancelled();
    if (!io.receive_response()) return platform_failure("WinHttpReceiveResponse", io.last_error());
    if (!io.query_status(status)) return platform_failure("WinHttpQueryHeaders", io.last_error());
    return std::nullopt;
}

// A proxy's 407 answered with the user's Windows logon for the proxy alone, by Negotiate, else
// NTLM; false when the challenge is not the proxy's or offers neither (Basic and Digest want a
// password this program does not have, and it never prompts), or the logon cannot be set.
bool answer_proxy_logon(DownloadTransport& io) {
    AuthChallenge challenge;
    if (!io.query_challenge(challenge) || !challenge.from_proxy) return false;
    if (!challenge.negotiate && !challenge.ntlm) return false;
    return io.set_default_credentials(
        AuthTarget::proxy, challenge.negotiate ? LogonScheme::negotiate : LogonScheme::ntlm);
}

// Steps up to the response by one route; the returned failure names the step that failed, and
// `unreachable` says whether it was the route's proxy that could not be reached.
std::optional<DownloadFailure> connect_and_request(const UrlParts& parts, const ProxyRoute& route,
                                                   DownloadTransport& io, const SharedState& state,
                                                   bool& unreachable) {
    if (ended(state)) return cancelled();
    if (!io.open_session(route)) return platform_failure("WinHttpOpen", io.last_error());
    if (ended(state)) return cancelled();
    if (!io.connect(parts.host, parts.port))
        return platform_failure("WinHttpConnect", io.last_error());
    if (ended(state)) return cancelled();
    if (!io.open_request(parts.path, parts.secure)) {
        return platform_failure("WinHttpOpenRequest", io.last_error());
    }
    io.refuse_downgrade_redirects();
    if (ended(state)) return cancelled();
    if (!io.send_request()) {
        const std::uint32_t error = io.last_error();
        unreachable = proxy_unreachable(route, error);
        return platform_failure("WinHttpSendRequest", error);
    }
    if (ended(state)) return cancelled();
    if (!io.receive_response()) return platform_failure("WinHttpReceiveResponse", io.last_error());
    std::uint32_t status = 0;
    if (!io.query_status(status)) return platform_failure("WinHttpQueryHeaders", io.last_error());
    // The proxy this program chose gets the user's logon, once. On any other route a 407 comes
    // from a server or from a proxy nobody here knows, and gets nothing.
    if (status == PROXY_AUTHENTICATION_REQUIRED && route.kind == ProxyRoute::Kind::named &&
        answer_proxy_logon(io)) {
        if (auto failure = send_and_receive(io, state, status)) return failure;
    }
    if (status != 200)
        return DownloadFailure{"服务器返回错误 (status=" + std::to_string(status) + ")"};
    return std::nullopt;
}

// The run folder's platform calls, each folder made only while the run goes on.
class RunFolderWhileRunning final : public RunFolderPlatform {
  public:
    RunFolderWhileRunning(RunFolderPlatform& platform, const SharedState& state)
        : platform_(platform), state_(state) {}

    bool random_bytes(RunFolderRandom& random) override { return platform_.random_bytes(random); }

    FolderCreation create_folder(const std::string& path) override {
        return ended(state_) ? FolderCreation::failed : platform_.create_folder(path);
    }

  private:
    RunFolderPlatform& platform_;
    const SharedState& state_;
};

// The routes in order, each once: the next one only when the proxy of the one before could not
// be reached, and only while the run goes on.
std::optional<DownloadFailure> reach_server(const UrlParts& parts, const ProxyRoutes& choices,
                                            DownloadTransport& io, SharedState& state) {
    if (ended(state)) return cancelled();
    if (choices.routes.empty()) {
        return DownloadFailure{std::string(SOCKS_PROXY_MESSAGE) + choices.socks};
    }
    std::optional<DownloadFailure> failure;
    for (const ProxyRoute& route : choices.routes) {
        if (failure) {
            if (ended(state)) return cancelled();
            io.close_session();
        }
        bool unreachable = false;
        failure = connect_and_request(parts, route, io, state, unreachable);
        if (!failure || !unreachable) return failure;
    }
    return failure;
}

// The length the response announces; nullopt when it has no Content-Length (chunked, or ended
// by the close). The HTTP client frames the body by the header in its own way, so a value this
// program cannot read, or two headers that disagree, would let a cut-off body pass as complete:
// such an answer is refused, never taken as "length unknown".
using AnnouncedLength = std::variant<std::optional<std::uint64_t>, DownloadFailure>;

AnnouncedLength announced_length(DownloadTransport& io) {
    std::optional<std::uint64_t> length;
    for (std::uint32_t index = 0;; ++index) {
        std::string text;
        const HeaderLookup lookup = io.query_length_header(index, text);
        if (lookup == HeaderLookup::absent) return length;
        if (lookup == HeaderLookup::failed) {
            return platform_failure("WinHttpQueryHeaders", io.last_error());
        }
        const std::optional<std::uint64_t> value = parse_content_length(text);
        if (!value || (length && *length != *value)) {
            return DownloadFailure{std::string(INVALID_LENGTH_MESSAGE)};
        }
        length = value;
    }
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::optional<std::uint64_t> parse_content_length(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

// The worker's claim on the end of the run; true also when the worker holds it already (a
// complete file that could not be kept after the claim).
bool claim_end(SharedState& state) {
    return state.claim(RunState::finishing) ||
           state.run_state.load(std::memory_order_acquire) == RunState::finishing;
}

// The download up to its outcome. A complete body is kept only under the worker's claim on the
// end of the run: a window that has claimed it first (Cancel, the close button) has ended the
// run, and the file then goes with its handle.
DownloadResult download(std::string_view address, const ProxyRoutes& routes, DownloadTransport& io,
                        SharedState& state, void (*log)(std::string_view)) {
    const UrlParts parts = parse_download_url(address);
    if (auto failure = reach_server(parts, routes, io, state)) return *failure;

    AnnouncedLength announced = announced_length(io);
    if (auto* failure = std::get_if<DownloadFailure>(&announced)) return std::move(*failure);
    const std::optional<std::uint64_t> total = std::get<0>(announced);
    if (total) state.total_bytes.store(*total, std::memory_order_relaxed);

    // A folder of this run's own, so that nothing anyone left in the temporary folder sits
    // beside the installer when it starts.
    if (ended(state)) return cancelled();
    RunFolderWhileRunning platform(io, state);
    const RunFolderOutcome folder = create_run_folder(io.temp_folder(), platform);
    const std::string& path = folder.installer_path;
    if (ended(state)) return cancelled();
    if (!folder.created || !io.create_file(path)) {
        return DownloadFailure{"创建临时文件失败: " + path};
    }

    const auto chunk = std::make_unique<std::array<std::byte, CHUNK_SIZE>>();
    std::uint64_t received = 0;
    std::uint64_t last_posted = 0;
    for (;;) {
        if (ended(state)) return cancelled();
        std::uint32_t available = 0;
        if (!io.bytes_available(available)) {
            return platform_failure("WinHttpQueryDataAvailable", io.last_error());
        }
        if (available == 0) break;

        std::uint32_t count = 0;
        if (ended(state)) return cancelled();
        if (!io.read(chunk->data(), std::min(available, CHUNK_SIZE), count)) {
            return platform_failure("WinHttpReadData", io.last_error());
        }
        if (count == 0) break;
        if (ended(state)) return cancelled();
        if (!io.write(chunk->data(), count)) return write_failure(io.last_error());

        received += count;
        state.bytes_received.store(received, std::memory_order_relaxed);
        if (received - last_posted >= PROGRESS_STEP) {
            last_posted = received;
            io.post_progress();
        }
    }

    if (total && received != *total) {
        return DownloadFailure{"下载不完整 (" + std::to_string(received) + "/" +
                               std::to_string(*total) + " 字节)"};
    }
    if (!claim_end(state)) return cancelled();
    if (!io.finish()) return write_failure(io.last_error());
    state.bytes_received.store(received, std::memory_order_relaxed);
    io.post_progress();
    log("downloaded " + std::to_string(received) + " bytes -> " + path);
    return DownloadSuccess{path, {}};
}

}  // namespace

DownloadResult run_download(std::string_view address, const ProxyRoutes& routes,
                            DownloadTransport& io, SharedState& state,
                            void (*log)(std::string_view)) {
    DownloadResult result = download(address, routes, io, state, log);
    // A failure that comes after the window ended the run (a platform call that Cancel left
    // waiting, say) is not this run's: the run was cancelled.
    if (std::holds_alternative<DownloadFailure>(result) && !claim_end(state)) return cancelled();
    return result;
}

}  // namespace vorn
