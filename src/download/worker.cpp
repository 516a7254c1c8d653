#include "download/worker.h"

#include <windows.h>
#include <winhttp.h>

#include <optional>
#include <utility>
#include <variant>

#include "download/proxy_windows.h"
#include "download/run_folder.h"
#include "download/transfer.h"
#include "shell/handles.h"
#include "shell/log.h"
#include "trust/crypt.h"

namespace vorn {
namespace {

bool set_delete_on_close(HANDLE file, bool delete_it) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = delete_it;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Which file a handle has open, whatever its path names meanwhile (FileIdentity: run_folder.h).
std::optional<FileIdentity> file_identity(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// Read-only and shared for reading alone: nobody can write, rename or delete the file while the
// hold is open, and whatever the shell and the system open it with on the way to starting it
// (elevation included) need share no more than reading.
HANDLE open_hold(const WideString& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Deletes the file `path` names, through a handle and only when it is still the file
// `identity` says: one that someone else put there in its place is not ours to delete.
void delete_if_same(const WideString& path, const FileIdentity& identity) {
    const FileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    if (file.valid() && file_identity(file.get()) == identity) set_delete_on_close(file.get(), true);
}

// The installer file while it is written. It is marked for deletion from the moment it exists,
// so the system removes it when its handle closes, however that happens: a failure, Cancel, the
// window closed mid-transfer, fail-fast, a kill or a crash. A half-written file with the
// installer's name would be a broken program waiting to be started. Only a completed download
// clears the mark, as it hands the file over to its hold.
class InstallerFile {
  public:
    bool create(const WideString& path) {
        path_ = path;
        // New in the run's new folder: a file of that name already there is not this run's.
        if (!handle_.open(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr))) {
            return false;
        }
        if (set_delete_on_close(handle_.get(), true)) return true;
        // Without the mark nothing would remove it should the process die: not worth the risk.
        handle_.reset();
        DeleteFileW(path.c_str());
        return false;
    }

    HANDLE get() const { return handle_.get(); }

    // From the writer to the hold. The writer has to go first: the system starts no program that
    // some handle has open for writing, and a hold opened beside the writer would have to share
    // writing and deleting, which would let anyone in once the writer is gone. So the hold is
    // opened by path just after the writer closed, and must have the very file the writer had
    // (volume and file index); the signer check then reads the file through the hold alone, so
    // what is checked is what is started. False (the error code set, the file gone) when the
    // mark cannot be cleared or the file cannot be held as itself.
    bool hand_over(FileHandle& hold) {
        const std::optional<FileIdentity> written = file_identity(handle_.get());
        if (!written || !set_delete_on_close(handle_.get(), false)) {
            const DWORD error = GetLastError();
            handle_.reset();  // still marked: gone with its handle
            SetLastError(error);
            return false;
        }
        handle_.reset();
        identity_ = *written;
        if (hold.open(open_hold(path_)) && file_identity(hold.get()) == written) return true;
        // Someone else has it open for writing, or has put another file in its place.
        const DWORD error = hold.valid() ? ERROR_FILE_INVALID : GetLastError();
        hold.reset();
        delete_if_same(path_, *written);
        SetLastError(error);
        return false;
    }

    const WideString& path() const { return path_; }
    const FileIdentity& identity() const { return identity_; }

  private:
    WideString path_;
    FileIdentity identity_;
    FileHandle handle_;
};

struct HeldInstaller {
    HeldFile file;
    WideString path;
    FileIdentity identity;
};

class WinHttpTransport final : public DownloadTransport {
  public:
    // The redirect to the file host goes through this session too, by the same route.
    bool open_session(const ProxyRoute& route) override {
        return session_.open(open_session_by(route));
    }

    void close_session() override {
        request_.reset();
        connection_.reset();
        session_.reset();
    }

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

    bool query_challenge(AuthChallenge& challenge) override {
        DWORD offered = 0;
        DWORD first = 0;
        DWORD target = 0;
        if (!WinHttpQueryAuthSchemes(request_.get(), &offered, &first, &target)) return false;
        challenge.from_proxy = target == WINHTTP_AUTH_TARGET_PROXY && !server_certificate_seen();
        challenge.negotiate = (offered & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0;
        challenge.ntlm = (offered & WINHTTP_AUTH_SCHEME_NTLM) != 0;
        return true;
    }

    // WinHTTP names the target by the status alone, so a 407 that the download host (or the
    // redirect's file host) sends itself, inside the tunnel, reads as the proxy's. The proxy's
    // own answers the CONNECT, before any TLS with the host: a request that holds the host's
    // certificate has heard from the host.
    bool server_certificate_seen() {
        PCCERT_CONTEXT certificate = nullptr;
        DWORD size = sizeof certificate;
        if (!WinHttpQueryOption(request_.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate,
                                &size)) {
            return false;
        }
        return CertificateHandle(certificate).valid();
    }

    // No user name and no password: the platform's default credentials, for this request and
    // this target alone. The auto-logon policy is left as it is: lowered, it would let WinHTTP
    // give the logon to every server that asks on this handle, the redirect's file host
    // included.
    bool set_default_credentials(AuthTarget target, LogonScheme scheme) override {
        return WinHttpSetCredentials(
            request_.get(),
            target == AuthTarget::proxy ? WINHTTP_AUTH_TARGET_PROXY : WINHTTP_AUTH_TARGET_SERVER,
            scheme == LogonScheme::negotiate ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                                             : WINHTTP_AUTH_SCHEME_NTLM,
            nullptr, nullptr, nullptr);
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
        const bool kept = file_.hand_over(held_);
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

    // The completed installer, held, with what it takes to delete it should it be refused.
    HeldInstaller take_held() {
        HeldFile file;
        if (held_.valid()) file = HeldFile(held_.release(), HeldFileCloser{close_file});
        return {std::move(file), file_.path(), file_.identity()};
    }

  private:
    static void close_file(void* handle) { CloseHandle(handle); }

    // Destroyed bottom-up: the file (deleted unless kept), its folder (removed unless kept),
    // request, connection, session.
    InternetHandle session_;
    InternetHandle connection_;
    InternetHandle request_;
    RunFolder folder_;
    InstallerFile file_;
    FileHandle held_;  // the complete installer, from finish() on
};

void post_to_window(UINT message) {
    if (const HWND window = shared_state.main_window.load(std::memory_order_relaxed)) {
        PostMessageW(window, message, 0, 0);
    }
}

// The check runs here, under the download thread's claim on the run's end, while the window
// still shows (it may take seconds: the file is read twice, and revocation may wait up to its
// budget). A refused file is deleted through a handle, and only when it is still the file held.
DownloadResult checked(DownloadResult outcome, HeldInstaller held, InstallerCheck check) {
    auto* const success = std::get_if<DownloadSuccess>(&outcome);
    if (success == nullptr) return outcome;
    if (check == nullptr) {
        success->held = std::move(held.file);  // started unchecked, but held all the same
        return outcome;
    }
    post_to_window(WM_APP_CHECKING);
    std::optional<std::string> refusal = check(success->installer_path, held.file.get());
    if (!refusal) {
        success->held = std::move(held.file);
        return outcome;
    }
    // The hold shares reading alone, so the deleting handle can only be opened once it is closed.
    held.file.reset();
    delete_if_same(held.path, held.identity);
    remove_kept_run_folder();  // empty now: nothing of a refused run stays behind
    return DownloadFailure{std::move(*refusal)};
}

}  // namespace

DownloadResult run_download(std::string_view address, InstallerCheck check) {
    // The proxy look-up may take seconds; the download after it looks at the run state first.
    const ProxyRoutes routes =
        shared_state.still_running() ? find_proxy_routes(address) : ProxyRoutes{};
    WinHttpTransport transport;
    DownloadResult outcome = run_download(address, routes, transport, shared_state, write_log);
    return checked(std::move(outcome), transport.take_held(), check);
}

void download_worker(std::string address, InstallerCheck check) {
    if (shared_state.still_running()) remove_earlier_run_folders(system_temp_folder());
    shared_state.result_slot.store(run_download(address, check));
    post_to_window(WM_APP_DONE);
}

}  // namespace vorn
