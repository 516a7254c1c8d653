#include "download/worker.h"

#include <windows.h>
#include <winhttp.h>

#include <utility>

#include "download/proxy_windows.h"
#include "download/run_folder.h"
#include "download/transfer.h"
#include "shell/handles.h"
#include "shell/log.h"

namespace vorn {
namespace {

bool set_delete_on_close(HANDLE file, bool delete_it) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = delete_it;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// The installer file while it is written. It is marked for deletion from the moment it exists,
// so the system removes it when its handle closes, however that happens: a failure, Cancel, the
// window closed mid-transfer, fail-fast, a kill or a crash. A half-written file with the
// installer's name would be a broken program waiting to be started. Only a completed download
// clears the mark.
class InstallerFile {
  public:
    bool create(const WideString& path) {
        // New in the run's new folder: a file of that name already there is not this run's.
        if (!handle_.open(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                      nullptr, CREATE_NEW, 0, nullptr))) {
            return false;
        }
        if (set_delete_on_close(handle_.get(), true)) return true;
        // Without the mark nothing would remove it should the process die: not worth the risk.
        handle_.reset();
        DeleteFileW(path.c_str());
        return false;
    }

    HANDLE get() const { return handle_.get(); }

    // Clears the mark and closes the file; false (and the file gone) when the mark stays.
    bool keep() {
        const bool kept = set_delete_on_close(handle_.get(), false);
        const DWORD error = GetLastError();
        handle_.reset();
        SetLastError(error);
        return kept;
    }

  private:
    FileHandle handle_;
};

class WinHttpTransport final : public DownloadTransport {
  public:
    explicit WinHttpTransport(ProxyRoute route) : route_(std::move(route)) {}

    // The redirect to the file host goes through this session too, by the same route.
    bool open_session() override { return session_.open(open_session_by(route_)); }

    bool connect(const std::string& host, std::uint16_t port) override {
        return connection_.open(WinHttpConnect(session_.get(), to_wide(host).c_str(), port, 0));
    }

    bool open_request(const std::string& path, bool secure) override {
        return request_.open(WinHttpOpenRequest(
            connection_.get(), L"GET", to_wide(path).c_str(), L"HTTP/1.1", WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    }

    // Redirects are followed, but never from HTTPS down to clear-text HTTP: what arrived
    // unprotected must not be run.
    void refuse_downgrade_redirects() override {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
        WinHttpSetOption(request_.get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    }

    bool send_request() override {
        return WinHttpSendRequest(request_.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    }

    bool receive_response() override { return WinHttpReceiveResponse(request_.get(), nullptr); }

    bool query_status(std::uint32_t& status) override {
        DWORD value = 0;
        DWORD size = sizeof value;
        const bool ok = WinHttpQueryHeaders(
            request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX);
        status = value;
        return ok;
    }

    // Only the proxy gets the logon, and only by a scheme that proves it without a password
    // (Negotiate, else NTLM): the platform's default credentials, allowed for this request alone.
    bool answer_proxy_logon() override {
        DWORD offered = 0;
        DWORD first = 0;
        DWORD target = 0;
        if (!WinHttpQueryAuthSchemes(request_.get(), &offered, &first, &target) ||
            target != WINHTTP_AUTH_TARGET_PROXY) {
            return false;
        }
        const DWORD scheme = (offered & WINHTTP_AUTH_SCHEME_NEGOTIATE)
                                 ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                             : (offered & WINHTTP_AUTH_SCHEME_NTLM) ? WINHTTP_AUTH_SCHEME_NTLM
                                                                    : 0;
        if (scheme == 0) return false;
        DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
        return WinHttpSetOption(request_.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &policy,
                                sizeof policy) &&
               WinHttpSetCredentials(request_.get(), WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr,
                                     nullptr, nullptr);
    }

    // The header as text, whatever the platform makes of it as a number: the caller decides
    // what it means. A buffer too small is grown to the size the platform asks for.
    HeaderLookup query_length_header(std::uint32_t index, std::string& text) override {
        WideString value(32, L'\0');
        for (;;) {
            DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
            DWORD header_index = index;
            if (WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                                    WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                                    &header_index)) {
                text = from_wide(WideStringView(value.data(), size / sizeof(wchar_t)));
                return HeaderLookup::found;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_WINHTTP_HEADER_NOT_FOUND) return HeaderLookup::absent;
            if (error != ERROR_INSUFFICIENT_BUFFER || size <= value.size() * sizeof(wchar_t)) {
                return HeaderLookup::failed;
            }
            value.resize(size / sizeof(wchar_t) + 1);
        }
    }

    WideString temp_folder() override { return system_temp_folder(); }

    bool random_bytes(RunFolderRandom& random) override { return fill_random(random); }

    FolderCreation create_folder(const std::string& path) override { return folder_.create(path); }

    bool create_file(const std::string& path) override { return file_.create(to_wide(path)); }

    bool bytes_available(std::uint32_t& count) override {
        DWORD value = 0;
        const bool ok = WinHttpQueryDataAvailable(request_.get(), &value);
        count = value;
        return ok;
    }

    bool read(std::byte* buffer, std::uint32_t size, std::uint32_t& count) override {
        DWORD value = 0;
        const bool ok = WinHttpReadData(request_.get(), buffer, size, &value);
        count = value;
        return ok;
    }

    bool write(const std::byte* data, std::uint32_t size) override {
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, size, &written, nullptr)) return false;
        if (written == size) return true;
        SetLastError(ERROR_DISK_FULL);  // a short write without an error code: out of space
        return false;
    }

    bool finish() override {
        const bool kept = file_.keep();
        if (kept) folder_.keep();
        const DWORD error = GetLastError();
        request_.reset();
        connection_.reset();
        session_.reset();
        SetLastError(error);
        return kept;
    }

    void post_progress() override {
        if (const HWND window = shared_state.main_window.load(std::memory_order_relaxed)) {
            PostMessageW(window, WM_APP_PROGRESS, 0, 0);
        }
    }

    std::uint32_t last_error() override { return GetLastError(); }

  private:
    const ProxyRoute route_;
    // Destroyed bottom-up: the file (deleted unless kept), its folder (removed unless kept),
    // request, connection, session.
    InternetHandle session_;
    InternetHandle connection_;
    InternetHandle request_;
    RunFolder folder_;
    InstallerFile file_;
};

}  // namespace

DownloadResult run_download(std::string_view address) {
    WinHttpTransport transport(find_proxy_route(address));
    return run_download(address, transport, shared_state, write_log);
}

void download_worker(std::string address) {
    remove_earlier_run_folders(system_temp_folder());
    shared_state.result_slot.store(run_download(address));
    if (const HWND window = shared_state.main_window.load(std::memory_order_relaxed)) {
        PostMessageW(window, WM_APP_DONE, 0, 0);
    }
}

}  // namespace vorn
