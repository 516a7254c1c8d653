#include "download/run_folder_rules.h"

namespace vorn {
namespace {

constexpr std::string_view NAME_ALPHABET = "abcdefghijklmnopqrstuvwxyz234567";

bool in_alphabet(WideChar c) {
    return (c >= 'a' && c <= 'z') || (c >= '2' && c <= '7');
}

bool is_installer_name(WideStringView name) {
    return name == to_wide(INSTALLER_FILE_NAME);
}

}  // namespace

std::string run_folder_name(const RunFolderRandom& random) {
    std::string name(RUN_FOLDER_PREFIX);
    std::uint32_t bits = 0;
    int count = 0;
    for (const std::uint8_t byte : random) {
        bits = (bits << 8) | byte;
        count += 8;
        while (count >= 5) {
            count -= 5;
            name += NAME_ALPHABET[(bits >> count) & 31];
        }
    }
    return name;
}

bool is_run_folder_name(WideStringView name) {
    const WideString prefix = to_wide(RUN_FOLDER_PREFIX);
    if (name.size() != prefix.size() + RUN_FOLDER_NAME_CHARACTERS) return false;
    if (name.substr(0, prefix.size()) != prefix) return false;
    for (const WideChar c : name.substr(prefix.size())) {
        if (!in_alphabet(c)) return false;
    }
    return true;
}

std::optional<std::string> temp_root(WideStringView reported) {
    std::string folder = from_wide(reported);
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    if (folder.empty()) return std::nullopt;
    return folder;
}

bool is_removable_run_folder(std::span<const FolderEntry> entries) {
    if (entries.empty()) return true;
    if (entries.size() != 1) return false;
    const FolderEntry& only = entries.front();
    return is_installer_name(only.name) && !only.directory && !only.reparse_point &&
           !only.read_only;
}

RunFolderOutcome create_run_folder(WideStringView temp_folder, RunFolderPlatform& platform) {
    const std::optional<std::string> root = temp_root(temp_folder);
    RunFolderOutcome outcome;
    for (int attempt = 0; attempt < RUN_FOLDER_ATTEMPTS; ++attempt) {
        RunFolderRandom random{};
        const bool drawn = platform.random_bytes(random);
        const std::string folder = root.value_or("") + '\\' + run_folder_name(random);
        outcome.installer_path = folder + '\\' + std::string(INSTALLER_FILE_NAME);
        if (!root || !drawn) break;
        const FolderCreation creation = platform.create_folder(folder);
        if (creation == FolderCreation::created) {
            outcome.created = true;
            break;
        }
        if (creation == FolderCreation::failed) break;
    }
    return outcome;
}

}  // namespace vorn
