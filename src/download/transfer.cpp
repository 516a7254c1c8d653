#include "download/transfer.h"

#include <array>
#include <algorithm>
#include <memory>

namespace vorn {
namespace {

DownloadFailure platform_failure(std::string_view operation, std::uint32_t error) {
    return {std::string(operation) + " 失败 (err=" + std::to_string(error) + ")"};
}

// Steps up to the response; the returned failure names the step that failed.
std::optional<DownloadFailure> connect_and_request(const UrlParts& parts, DownloadTransport& io) {
    if (!io.open_session()) return platform_failure("WinHttpOpen", io.last_error());
    if (!io.connect(parts.host, parts.port))
        return platform_failure("WinHttpConnect", io.last_error());
    if (!io.open_request(parts.path, parts.secure)) {
        return platform_failure("WinHttpOpenRequest", io.last_error());
    }
    io.refuse_downgrade_redirects();
    if (!io.send_request()) return platform_failure("WinHttpSendRequest", io.last_error());
    if (!io.receive_response()) return platform_failure("WinHttpReceiveResponse", io.last_error());

    std::uint32_t status = 0;
    if (!io.query_status(status)) return platform_failure("WinHttpQueryHeaders", io.last_error());
    if (status != 200)
        return DownloadFailure{"服务器返回错误 (status=" + std::to_string(status) + ")"};
    return std::nullopt;
}

// The announced length, 0 when unknown. Some platforms refuse the 64-bit number form, so the
// header text is the fallback.
std::uint64_t announced_length(DownloadTransport& io) {
    std::uint64_t length = 0;
    if (io.query_length(length)) return length;
    std::string text;
    if (!io.query_length_text(text)) return 0;
    return parse_content_length(text).value_or(0);
}

}  // namespace

std::optional<std::uint64_t> parse_content_length(std::string_view text) {
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

std::string installer_path_in(WideStringView temp_folder) {
    std::string folder = from_wide(temp_folder);
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder + '\\' + std::string(INSTALLER_FILE_NAME);
}

DownloadResult run_download(std::string_view address, DownloadTransport& io, SharedState& state,
                            void (*log)(std::string_view)) {
    const UrlParts parts = parse_download_url(address);
    if (auto failure = connect_and_request(parts, io)) return *failure;

    const std::uint64_t total = announced_length(io);
    if (total != 0) state.total_bytes.store(total, std::memory_order_relaxed);

    const std::string path = installer_path_in(io.temp_folder());
    if (!io.create_file(path)) return DownloadFailure{"创建临时文件失败: " + path};

    const auto chunk = std::make_unique<std::array<std::byte, CHUNK_SIZE>>();
    std::uint64_t received = 0;
    std::uint64_t last_posted = 0;
    for (;;) {
        if (state.cancel_requested.load(std::memory_order_relaxed)) {
            return DownloadFailure{"用户已取消"};
        }
        std::uint32_t available = 0;
        if (!io.bytes_available(available)) {
            return platform_failure("WinHttpQueryDataAvailable", io.last_error());
        }
        if (available == 0) break;

        std::uint32_t count = 0;
        if (!io.read(chunk->data(), std::min(available, CHUNK_SIZE), count)) {
            return platform_failure("WinHttpReadData", io.last_error());
        }
        if (count == 0) break;
        if (!io.write(chunk->data(), count)) {
            return DownloadFailure{"写入临时文件失败 (err=" + std::to_string(io.last_error()) +
                                   ")"};
        }

        received += count;
        state.bytes_received.store(received, std::memory_order_relaxed);
        if (received - last_posted >= PROGRESS_STEP) {
            last_posted = received;
            io.post_progress();
        }
    }

    if (total != 0 && received != total) {
        return DownloadFailure{"下载不完整 (" + std::to_string(received) + "/" +
                               std::to_string(total) + " 字节)"};
    }
    io.finish();
    state.bytes_received.store(received, std::memory_order_relaxed);
    io.post_progress();
    log("downloaded " + std::to_string(received) + " bytes -> " + path);
    return DownloadSuccess{path};
}

}  // namespace vorn
