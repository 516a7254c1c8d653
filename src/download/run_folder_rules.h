// The run's own folder in the temporary folder: how it is named, how many names are tried, and
// which folders that earlier runs left may be removed. Platform-neutral; the Win32 side is
// run_folder.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text.h"

namespace vorn {

inline constexpr std::string_view INSTALLER_FILE_NAME = "vorn-setup.exe";
// Fixed, so that an administrator can allow %TEMP%\vorn-setup-*\vorn-setup.exe by pattern.
inline constexpr std::string_view RUN_FOLDER_PREFIX = "vorn-setup-";
// 80 bits from the platform's generator: a name nobody can guess or have made beforehand.
inline constexpr std::size_t RUN_FOLDER_RANDOM_BYTES = 10;
inline constexpr std::size_t RUN_FOLDER_NAME_CHARACTERS = 16;  // 5 bits each
// Names tried before the run gives up: a taken name means someone made that folder, and a
// second taken name in a row means something is wrong beyond chance.
inline constexpr int RUN_FOLDER_ATTEMPTS = 4;
// Earlier runs' folders looked at per run, so that a temporary folder full of them cannot hold
// the start: each run removes up to this many, and the ones after go with later runs.
inline constexpr int EARLIER_FOLDERS_EXAMINED = 32;

using RunFolderRandom = std::array<std::uint8_t, RUN_FOLDER_RANDOM_BYTES>;

// "vorn-setup-" and 16 characters of a-z and 2-7 (base32, lower case: the file system ignores
// case, so each character carries its 5 bits whatever it does).
std::string run_folder_name(const RunFolderRandom& random);

// Whether `name` has exactly the form run_folder_name makes.
bool is_run_folder_name(WideStringView name);

// The temporary folder as text, every trailing backslash dropped; nothing when the lookup gave
// nothing usable (a failed call, or a folder that is only backslashes): the root of the current
// drive is no place for a run's folder.
std::optional<std::string> temp_root(WideStringView reported);

// What is inside an earlier run's folder, "." and ".." left out.
struct FolderEntry {
    WideString name;
    bool directory = false;
    bool reparse_point = false;
    bool read_only = false;
};

// An earlier run's folder may go when it holds what a run leaves and nothing else: nothing, or
// its installer file alone (a plain file, no link). Anything else was put there by someone else.
bool is_removable_run_folder(std::span<const FolderEntry> entries);

enum class FolderCreation { created, exists, failed };

// The two platform calls a new run folder needs.
class RunFolderPlatform {
  public:
    virtual ~RunFolderPlatform() = default;
    virtual bool random_bytes(RunFolderRandom& random) = 0;
    // Creates the folder, new (never one that exists), open to this user, SYSTEM and the
    // administrators alone.
    virtual FolderCreation create_folder(const std::string& path) = 0;
};

struct RunFolderOutcome {
    bool created = false;
    // The installer's full path in the new folder; when none was made, the last one tried (the
    // first name drawn, under an empty root, when the temporary folder could not be found).
    std::string installer_path;
};

// A new folder of this run's own inside the temporary folder, trying up to
// RUN_FOLDER_ATTEMPTS names; nothing is created anywhere when the temporary folder is unknown.
RunFolderOutcome create_run_folder(WideStringView temp_folder, RunFolderPlatform& platform);

}  // namespace vorn
