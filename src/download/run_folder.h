// The run's own folder on the platform: made new with a DACL of its own, held open while the run
// lasts so that nobody renames or deletes it, removed through a handle when the run leaves
// nothing; and the folders earlier runs left behind, removed at the start of a run. The decisions
// (name, retries, what an earlier run's folder may hold) are in run_folder_rules.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "download/run_folder_rules.h"
#include "shell/handles.h"
#include "text.h"

namespace vorn {

// The system's temporary folder, however long: GetTempPath2W where Windows has it (a process
// running as SYSTEM then gets C:\Windows\SystemTemp, closed to users, instead of C:\Windows\Temp,
// where every user may create files), else GetTempPathW. Empty when the lookup fails.
WideString system_temp_folder();

// Random bytes from the platform's generator (BCryptGenRandom, the system-preferred one).
bool fill_random(RunFolderRandom& random);

// The security of a run's folder: the current user, SYSTEM and the administrators, with full
// control, inherited by the file inside, and nothing inherited from the temporary folder (whose
// own entries may let every user in, as C:\Windows\Temp's do).
class RunFolderSecurity {
  public:
    bool build();
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
    ACL* acl() { return reinterpret_cast<ACL*>(acl_); }
    SECURITY_DESCRIPTOR* descriptor() { return &descriptor_; }

  private:
    PSID current_user();

    std::vector<unsigned char> user_;
    alignas(DWORD) unsigned char system_[SECURITY_MAX_SID_SIZE] = {};
    alignas(DWORD) unsigned char admins_[SECURITY_MAX_SID_SIZE] = {};
    alignas(DWORD) unsigned char acl_[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) +
                                                         SECURITY_MAX_SID_SIZE)] = {};
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

// The identity of an open file or folder, to tell that a path still names it.
struct FileIdentity {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    bool operator==(const FileIdentity&) const = default;
};

// This run's folder while the download thread owns it. The hold shares neither deleting nor
// renaming; it asks for no DELETE access itself, so that the installer can still make the folder
// its working directory (that open shares read and write alone). Unless kept, it is removed
// when its owner goes, after the file in it (declare it before the file).
class RunFolder {
  public:
    RunFolder() = default;
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    ~RunFolder();

    FolderCreation create(const std::string& path);
    // The download is complete: the folder stays, held until the process ends, unless
    // remove_kept_run_folder comes first.
    void keep();

  private:
    FileHandle hold_;
    WideString path_;
    FileIdentity identity_;
};

// The kept folder, once the installer in it has gone (refused): nothing of the run stays behind.
// Does nothing when there is none, or when it is not empty.
void remove_kept_run_folder();

// Waits up to `bound_ms` for the download thread to let go of a folder it still owns (it removes
// it when it returns after a Cancel or a close); true when there is none left.
bool wait_for_run_folder_release(DWORD bound_ms);

// Removes, from the temporary folder, the folders that earlier runs of this program left: only
// those named as this program names them, holding nothing or their installer alone, never
// through a link, never one in use (another run's, or one whose installer still runs). Looks at
// EARLIER_FOLDERS_EXAMINED of them at most.
void remove_earlier_run_folders(WideStringView temp_folder);

}  // namespace vorn
