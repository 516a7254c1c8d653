#include "download/run_folder_rules.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace vorn {
namespace {

WideString wide(std::u16string_view text) {
    return WideString(text.begin(), text.end());
}

TEST(RunFolderName, IsThePrefixAndSixteenBase32Characters) {
    RunFolderRandom random{};
    EXPECT_EQ(run_folder_name(random), "vorn-setup-aaaaaaaaaaaaaaaa");
    random.fill(0xFF);
    EXPECT_EQ(run_folder_name(random), "vorn-setup-7777777777777777");
    // Every bit lands in the name: 0x84 0x21 ... is 10000 10000 10000 ... in 5-bit groups.
    random = {0x84, 0x21, 0x08, 0x42, 0x10, 0x84, 0x21, 0x08, 0x42, 0x10};
    EXPECT_EQ(run_folder_name(random), "vorn-setup-qqqqqqqqqqqqqqqq");
    random = {0x00, 0x44, 0x32, 0x14, 0xC7, 0x42, 0x54, 0xB6, 0x35, 0xCF};
    EXPECT_EQ(run_folder_name(random), "vorn-setup-abcdefghijklmnop");
}

TEST(RunFolderName, OnlyTheExactFormIsRecognised) {
    struct Case {
        std::u16string name;
        bool ours;
    };
    const Case cases[] = {
        {u"vorn-setup-abcdefghijklmnop", true},
        {u"vorn-setup-2345672345672345", true},
        {u"vorn-setup-abcdefghijklmno", false},    // one short
        {u"vorn-setup-abcdefghijklmnopq", false},  // one more
        {u"vorn-setup-abcdefghijklmno1", false},   // not in the alphabet
        {u"vorn-setup-abcdefghijklmno8", false},
        {u"vorn-setup-ABCDEFGHIJKLMNOP", false},  // another program's, or a person's
        {u"VORN-SETUP-abcdefghijklmnop", false},
        {u"vorn-setup.exe", false},
        {u"vorn-setup-", false},
        {u"vorn-setup-abcdefghijklmno\u00e9", false},
        {u"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_run_folder_name(wide(c.name)), c.ours);
    }
}

TEST(TempRoot, DropsEveryTrailingBackslashAndRefusesNothing) {
    struct Case {
        std::u16string reported;
        std::optional<std::string> root;
    };
    const Case cases[] = {
        {u"C:\\Temp\\", "C:\\Temp"}, {u"C:\\Temp\\\\", "C:\\Temp"},
        {u"C:\\Temp", "C:\\Temp"},   {u"C:\\Temp\xD800\\", "C:\\Temp\uFFFD"},
        {u"C:\\临时\\", "C:\\临时"}, {u"C:\\Windows\\SystemTemp\\", "C:\\Windows\\SystemTemp"},
        {u"", std::nullopt},  // the lookup failed
        {u"\\\\", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(temp_root(wide(c.reported)), c.root);
    }
}

FolderEntry entry(std::u16string_view name, bool directory = false, bool reparse = false,
                  bool read_only = false) {
    return {wide(name), directory, reparse, read_only};
}

TEST(EarlierRunFolder, GoesOnlyWhenItHoldsWhatARunLeaves) {
    struct Case {
        const char* what;
        std::vector<FolderEntry> entries;
        bool removable;
    };
    const Case cases[] = {
        {"empty (the file went with a killed run)", {}, true},
        {"the installer alone", {entry(u"vorn-setup.exe")}, true},
        {"a planted DLL beside it", {entry(u"vorn-setup.exe"), entry(u"version.dll")}, false},
        {"something else alone", {entry(u"notes.txt")}, false},
        {"a folder of that name", {entry(u"vorn-setup.exe", true)}, false},
        {"a link of that name", {entry(u"vorn-setup.exe", false, true)}, false},
        {"a read-only file: never one this program made",
         {entry(u"vorn-setup.exe", false, false, true)},
         false},
        {"another case", {entry(u"VORN-SETUP.EXE")}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_removable_run_folder(c.entries), c.removable) << c.what;
    }
}

// Hands out names from a list of byte values and answers each creation from a script.
class ScriptedPlatform final : public RunFolderPlatform {
  public:
    std::deque<std::uint8_t> fills;  // each draw: all ten bytes this value
    std::deque<FolderCreation> answers;
    bool random_works = true;
    std::vector<std::string> created;

    bool random_bytes(RunFolderRandom& random) override {
        random.fill(fills.empty() ? 0 : fills.front());
        if (!fills.empty()) fills.pop_front();
        return random_works;
    }
    FolderCreation create_folder(const std::string& path) override {
        created.push_back(path);
        const FolderCreation answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

TEST(CreateRunFolder, TakesTheFirstNameNobodyHasAndNeverAnExistingOne) {
    ScriptedPlatform platform;
    platform.fills = {0x00, 0xFF};
    platform.answers = {FolderCreation::exists, FolderCreation::created};
    const RunFolderOutcome outcome = create_run_folder(wide(u"C:\\Temp\\"), platform);
    EXPECT_TRUE(outcome.created);
    EXPECT_EQ(outcome.installer_path, "C:\\Temp\\vorn-setup-7777777777777777\\vorn-setup.exe");
    EXPECT_EQ(platform.created,
              (std::vector<std::string>{"C:\\Temp\\vorn-setup-aaaaaaaaaaaaaaaa",
                                        "C:\\Temp\\vorn-setup-7777777777777777"}));
}

TEST(CreateRunFolder, GivesUpAfterItsBound) {
    ScriptedPlatform platform;
    platform.answers.assign(RUN_FOLDER_ATTEMPTS + 1, FolderCreation::exists);
    const RunFolderOutcome outcome = create_run_folder(wide(u"C:\\Temp"), platform);
    EXPECT_FALSE(outcome.created);
    EXPECT_EQ(platform.created.size(), static_cast<std::size_t>(RUN_FOLDER_ATTEMPTS));
    EXPECT_EQ(outcome.installer_path, "C:\\Temp\\vorn-setup-aaaaaaaaaaaaaaaa\\vorn-setup.exe");
}

TEST(CreateRunFolder, AnyOtherFailureEndsAtOnce) {
    ScriptedPlatform platform;
    platform.answers = {FolderCreation::failed, FolderCreation::created};
    const RunFolderOutcome outcome = create_run_folder(wide(u"C:\\Temp"), platform);
    EXPECT_FALSE(outcome.created);
    EXPECT_EQ(platform.created.size(), 1u);
}

TEST(CreateRunFolder, CreatesNothingWithoutATemporaryFolderOrARandomName) {
    ScriptedPlatform platform;
    for (const std::u16string reported : {u"", u"\\"}) {
        const RunFolderOutcome outcome = create_run_folder(wide(reported), platform);
        EXPECT_FALSE(outcome.created);
        // The path the message names: the name drawn, under the empty root.
        EXPECT_EQ(outcome.installer_path, "\\vorn-setup-aaaaaaaaaaaaaaaa\\vorn-setup.exe");
    }
    platform.random_works = false;
    EXPECT_FALSE(create_run_folder(wide(u"C:\\Temp"), platform).created);
    EXPECT_TRUE(platform.created.empty()) << "nothing may be created at the drive's root";
}

}  // namespace
}  // namespace vorn
