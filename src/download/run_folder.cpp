#include "download/run_folder.h"

#include <bcrypt.h>

#include <atomic>
#include <vector>

namespace vorn {
namespace {

// Opening a folder at all needs backup semantics; a link is opened as itself, never followed.
constexpr DWORD FOLDER_FLAGS = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// Read and write shared, deleting and renaming not: nobody moves the folder away while it is
// open here.
constexpr DWORD SHARE_NO_DELETE = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD HOLD_ACCESS = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD REMOVE_ACCESS = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

std::atomic<HANDLE> kept_hold{INVALID_HANDLE_VALUE};
WideString kept_path;
FileIdentity kept_identity;
std::atomic<bool> folder_in_use{false};

bool identity_of(HANDLE handle, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return false;
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                information.nFileIndexLow};
    return true;
}

// The attributes of what `handle` opened, from the handle itself: no path is asked again.
bool attributes_of(HANDLE handle, DWORD& attributes) {
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &information,
                                      sizeof information)) {
        return false;
    }
    attributes = information.FileAttributes;
    return true;
}

bool is_plain_folder(HANDLE handle) {
    DWORD attributes = 0;
    return attributes_of(handle, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool mark_deleted(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition);
}

HANDLE open_folder(const WideString& path, DWORD access) {
    return CreateFileW(path.c_str(), access, SHARE_NO_DELETE, nullptr, OPEN_EXISTING, FOLDER_FLAGS,
                       nullptr);
}

// Removes the run's folder held by `hold` (closed here), through a handle of its own, when the
// path still names that folder and it is empty: the system refuses to delete a folder that is not.
void remove_held_folder(FileHandle& hold, const WideString& path, const FileIdentity& identity) {
    if (!hold.valid()) return;
    // The hold shares no deleting, not even with this process: it goes first.
    hold.reset();
    const FileHandle folder(open_folder(path, REMOVE_ACCESS));
    FileIdentity now;
    if (folder.valid() && identity_of(folder.get(), now) && now == identity &&
        is_plain_folder(folder.get())) {
        mark_deleted(folder.get());
    }
}

// What the folder open in `folder` holds, "." and ".." left out; false when it cannot be read.
// Reading stops past two entries: no folder of a run's holds that many.
bool list_entries(HANDLE folder, std::vector<FolderEntry>& entries) {
    alignas(LONGLONG) unsigned char buffer[4096];
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer, sizeof buffer)) {
            return GetLastError() == ERROR_NO_MORE_FILES;
        }
        for (std::size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            const WideStringView name(reinterpret_cast<const WideChar*>(entry->FileName),
                                      entry->FileNameLength / sizeof(WideChar));
            if (name != to_wide(".") && name != to_wide("..")) {
                const DWORD attributes = entry->FileAttributes;
                entries.push_back({WideString(name), (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                   (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                                   (attributes & FILE_ATTRIBUTE_READONLY) != 0});
                if (entries.size() > 2) return true;
            }
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
}

// Deletes an earlier run's installer through a handle; false when it stays (its installer still
// running: the system refuses to delete a program's file while it runs).
bool delete_installer(const WideString& path) {
    const FileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    DWORD attributes = 0;
    return file.valid() && attributes_of(file.get(), attributes) &&
           !(attributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY)) &&
           mark_deleted(file.get());
}

// One earlier run's folder, removed when it holds what a run leaves and nobody uses it. Its
// handle shares no deleting, so it cannot be moved while it is looked at.
void remove_if_left_by_a_run(const WideString& path) {
    const FileHandle folder(open_folder(path, REMOVE_ACCESS));
    std::vector<FolderEntry> entries;
    if (!folder.valid() || !is_plain_folder(folder.get()) || !list_entries(folder.get(), entries) ||
        !is_removable_run_folder(entries)) {
        return;
    }
    if (!entries.empty() && !delete_installer(path + L'\\' + entries.front().name)) return;
    mark_deleted(folder.get());
}

}  // namespace

bool RunFolderSecurity::build() {
    PSID user = current_user();
    DWORD system_size = sizeof system_;
    DWORD admins_size = sizeof admins_;
    if (user == nullptr || !CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &system_size) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_, &admins_size) ||
        !InitializeAcl(acl(), sizeof acl_, ACL_REVISION)) {
        return false;
    }
    constexpr DWORD INHERITED = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    for (const PSID sid : {user, static_cast<PSID>(system_), static_cast<PSID>(admins_)}) {
        if (!AddAccessAllowedAceEx(acl(), ACL_REVISION, INHERITED, FILE_ALL_ACCESS, sid)) {
            return false;
        }
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl(), FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return false;
    }
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    return true;
}

PSID RunFolderSecurity::current_user() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    const ObjectHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user_.data(), size, &size)) {
        return nullptr;
    }
    return reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
}

WideString system_temp_folder() {
    using GetTempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
    const auto get_temp_path2 = reinterpret_cast<GetTempPathFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    const GetTempPathFunction get_temp_path = get_temp_path2 ? get_temp_path2 : GetTempPathW;
    WideString folder(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD count = get_temp_path(static_cast<DWORD>(folder.size()), folder.data());
        if (count < folder.size()) {
            folder.resize(count);
            return folder;
        }
        folder.resize(count);  // count is the size needed, terminator included
    }
}

bool fill_random(RunFolderRandom& random) {
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

RunFolder::~RunFolder() {
    if (!hold_.valid()) return;
    remove_held_folder(hold_, path_, identity_);
    folder_in_use.store(false, std::memory_order_release);
}

FolderCreation RunFolder::create(const std::string& path) {
    RunFolderSecurity security;
    if (!security.build()) return FolderCreation::failed;
    const WideString wide = to_wide(path);
    if (!CreateDirectoryW(wide.c_str(), security.attributes())) {
        return GetLastError() == ERROR_ALREADY_EXISTS ? FolderCreation::exists
                                                      : FolderCreation::failed;
    }
    // Held at once. Should it be gone already (another run took it for an earlier run's empty
    // folder) or be something else by now, another name is tried.
    if (!hold_.open(open_folder(wide, HOLD_ACCESS)) || !is_plain_folder(hold_.get()) ||
        !identity_of(hold_.get(), identity_)) {
        hold_.reset();
        return FolderCreation::exists;
    }
    path_ = wide;
    folder_in_use.store(true, std::memory_order_release);
    return FolderCreation::created;
}

void RunFolder::keep() {
    kept_path = std::move(path_);
    kept_identity = identity_;
    kept_hold.store(hold_.release(), std::memory_order_release);
    folder_in_use.store(false, std::memory_order_release);
}

void remove_kept_run_folder() {
    FileHandle hold(kept_hold.exchange(INVALID_HANDLE_VALUE, std::memory_order_acq_rel));
    remove_held_folder(hold, kept_path, kept_identity);
}

bool wait_for_run_folder_release(DWORD bound_ms) {
    const ULONGLONG deadline = GetTickCount64() + bound_ms;
    while (folder_in_use.load(std::memory_order_acquire)) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
    return true;
}

void remove_earlier_run_folders(WideStringView temp_folder) {
    const std::optional<std::string> root = temp_root(temp_folder);
    if (!root) return;
    const WideString folder = to_wide(*root) + L'\\';
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileExW((folder + to_wide(RUN_FOLDER_PREFIX) + L'*').c_str(), FindExInfoBasic,
                         &found, FindExSearchLimitToDirectories, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    int examined = 0;
    do {
        const WideStringView name(found.cFileName);
        if (is_run_folder_name(name) && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            remove_if_left_by_a_run(folder + WideString(name));
        }
    } while (++examined < EARLIER_FOLDERS_EXAMINED && FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace vorn
